# The settings-file reader.
vrk_fuzz(NAME defaults SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/defaults_fuzz.cc LIBS vrk_defaults
         CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/defaults)
