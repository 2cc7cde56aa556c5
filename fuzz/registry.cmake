# The plug-in registry file, which every pluginkit run and every file manager host reads.
if(TARGET vrk_registry)
  vrk_fuzz(NAME registry SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/registry_fuzz.cc LIBS vrk_registry
           CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/registry)
endif()
