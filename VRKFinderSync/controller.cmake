# The controller joins the listener in libVRKFinderSync.so (the target comes from bridge.cmake).
if(NOT TARGET VRKFinderSync OR NOT TARGET vrk_localization OR NOT TARGET vrk_distributed)
  return()
endif()
target_sources(VRKFinderSync PRIVATE ${CMAKE_CURRENT_LIST_DIR}/VRKFinderSync.cc
                                     ${CMAKE_CURRENT_LIST_DIR}/VRKBadgeTable.cc
                                     ${CMAKE_CURRENT_LIST_DIR}/VRKFinderPluginProxy.cc)
# Whole archives: the library carries one complete copy of the platform code, and whatever
# links it (tests, the Python module) uses that copy instead of linking a second one.
set(vrk_library_parts vrk_foundation_core vrk_runloop vrk_notifications vrk_defaults
                      vrk_distributed vrk_bundle vrk_localization vrk_menuiteminfo vrk_mach
                      vrk_connection vrk_applescript)
set(vrk_library_archives)
foreach(part ${vrk_library_parts})
  list(APPEND vrk_library_archives "$<TARGET_FILE:${part}>")
endforeach()
target_link_options(VRKFinderSync PRIVATE "LINKER:--whole-archive" ${vrk_library_archives}
                    "LINKER:--no-whole-archive")
target_link_libraries(VRKFinderSync PRIVATE ${vrk_library_parts})

vrk_test(NAME controller_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/VRKFinderSync_test.cc
                                      ${CMAKE_CURRENT_LIST_DIR}/VRKBadgeTable_test.cc
         LIBS VRKFinderSync PkgConfig::SYSTEMD SQLite::SQLite3 LABELS threads)
target_compile_definitions(controller_test PRIVATE VRK_SYNC_APP="${VRK_SYNC_APP}")
add_dependencies(controller_test sync_app)
