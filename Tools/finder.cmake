# vrk-finder, the file manager host that stands in for Finder: the JSON-lines front end of the
# shared host library (vrk_findersync_host).
set(_dir ${CMAKE_CURRENT_LIST_DIR}/finder)
add_library(vrk_finder_host STATIC ${_dir}/FinderCommand.cc ${_dir}/FinderHost.cc
                                   ${_dir}/LegacyFinder.cc)
target_link_libraries(vrk_finder_host PUBLIC vrk_findersync_host vrk_registry
                                             nlohmann_json::nlohmann_json vrk_bundle
                                             PkgConfig::SYSTEMD)

# Before 10.10 it loads the scripting additions that the client's bundle ships (legacyplugin.cmake):
# the build tree's bundle, or else the installed one, found relative to the executable.
file(RELATIVE_PATH _sync_app_from_bindir ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_LIBDIR}/${VRK_INSTALL_SYNC_APP_FROM_LIBDIR})
target_compile_definitions(vrk_finder_host PRIVATE
  VRK_BUNDLED_SCRIPTING_ADDITIONS="${VRK_SYNC_APP}/Contents/Library/ScriptingAdditions"
  VRK_INSTALLED_SCRIPTING_ADDITIONS_FROM_BINDIR="${_sync_app_from_bindir}/Contents/Library/ScriptingAdditions")
target_link_libraries(vrk_finder_host PUBLIC ${CMAKE_DL_LIBS})

add_executable(vrk-finder ${_dir}/main.cc)
target_link_libraries(vrk-finder PRIVATE vrk_finder_host)
vrk_install_tool(vrk-finder)
vrk_install_man(finder/vrk-finder.1)


vrk_test(NAME finder_host_unit_test SOURCES ${_dir}/FinderCommand_test.cc LIBS vrk_finder_host)
