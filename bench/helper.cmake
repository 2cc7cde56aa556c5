# The file copy through the privileged helper against cp of the same 256 MB file.
if(TARGET VRKLaunchDaemon AND TARGET vrk_servicemanagement)
  vrk_bench(NAME helper_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/helper_bench.cc
            LIBS vrk_servicemanagement vrk_xpc)
  if(TARGET helper_bench)
    add_dependencies(helper_bench VRKLaunchDaemon sync_app)
  endif()
endif()
