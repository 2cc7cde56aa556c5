# The legacy Finder bundle (a scripting addition that vrk-finder loads on the Apple event
# NVTY/load), shipped in the client's bundle as an installer would take it from:
# Sync.app/Contents/Library/ScriptingAdditions/VRKFinderPlugin.osax. vrk-finder copies it into
# the emulated home's Library/ScriptingAdditions when it is not there yet.
if(NOT TARGET vrk_extension_bridge OR NOT TARGET vrk_distributed)
  return()
endif()
set(VRK_SCRIPTING_ADDITIONS ${VRK_SYNC_APP}/Contents/Library/ScriptingAdditions)
add_library(VRKFinderPlugin MODULE ${CMAKE_CURRENT_LIST_DIR}/legacy-plugin/VRKFinderPlugin.cc)
target_link_libraries(VRKFinderPlugin PRIVATE vrk_extension_bridge vrk_distributed vrk_connection
                                              nlohmann_json::nlohmann_json PkgConfig::SYSTEMD)
# The bundle carries its own copy of the platform code; none of it may bind to the host's.
target_link_options(VRKFinderPlugin PRIVATE "LINKER:--exclude-libs,ALL")
set_target_properties(VRKFinderPlugin PROPERTIES
  PREFIX "" OUTPUT_NAME VRKFinderPlugin
  LIBRARY_OUTPUT_DIRECTORY ${VRK_SCRIPTING_ADDITIONS}/VRKFinderPlugin.osax/Contents/MacOS)
vrk_install_in_sync_app(
  SUBDIR Contents/Library/ScriptingAdditions/VRKFinderPlugin.osax/Contents/MacOS
  TARGETS VRKFinderPlugin)
if(TARGET vrk-finder)
  add_dependencies(vrk-finder VRKFinderPlugin)
endif()
