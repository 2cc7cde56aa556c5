# NSDistributedNotificationCenter on the session bus, with its D-Bus value codec.
add_library(vrk_distributed STATIC NSDistributedNotificationCenter.cc DBusCodec.cc DBusCenterSignal.cc
                                   DBusMessageArguments.cc SessionBus.cc)
target_link_libraries(vrk_distributed PUBLIC vrk_runloop vrk_notifications vrk_foundation_core
                                             PkgConfig::SYSTEMD Threads::Threads)
set(VRK_FOUNDATION_PARTS ${VRK_FOUNDATION_PARTS} vrk_distributed)

# Runs under the private session bus that CTest is started in (dbus-run-session).
vrk_test(NAME distributed_test SOURCES NSDistributedNotificationCenter_test.cc
         LIBS vrk_distributed LABELS threads)

# The codec alone, on messages built without a bus daemon.
vrk_test(NAME dbus_codec_test SOURCES DBusCodec_test.cc LIBS vrk_distributed)
vrk_test(NAME sdbus_test SOURCES SdBus_test.cc LIBS vrk_distributed)
