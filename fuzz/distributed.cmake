# The decoder of distributed notification signals (D-Bus payloads).
vrk_fuzz(NAME dbus_payload SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/dbus_payload_fuzz.cc
         LIBS vrk_distributed CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/dbus_payload)
