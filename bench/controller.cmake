# The host library's controller: the cost of one badge as the badge cache grows. It links only
# the shared library, which carries the platform code it needs.
if(TARGET VRKFinderSync)
  vrk_bench(NAME controller_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/controller_bench.cc
            LIBS VRKFinderSync SQLite::SQLite3)
endif()
# The menu round trip with a Python sync client answering the lock question. The extension's
# end of the bridge runs in the benchmark itself, so it links the bridge's static library and
# not the shared one (which would bring a second copy of the platform code); the settings suite,
# which the extension reads the list from, likewise.
if(TARGET vrk_extension_bridge AND TARGET vrk_defaults AND TARGET vrkfindersync)
  vrk_bench(NAME menu_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/menu_bench.cc
            LIBS vrk_extension_bridge vrk_defaults)
  if(TARGET menu_bench)
    add_dependencies(menu_bench vrkfindersync sync_app)
  endif()
endif()
