# The extension installer and inject join the controller in libVRKFinderSync.so, with the task
# layer that runs the registry tool (whole, for the same reason as the controller's parts).
if(NOT TARGET VRKFinderSync OR NOT TARGET vrk_task)
  return()
endif()
target_sources(VRKFinderSync PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/VRKYosemiteFindSyncExtensionHelper.cc
  ${CMAKE_CURRENT_LIST_DIR}/VRKFinderSync+Inject.cc)
target_link_options(VRKFinderSync PRIVATE "LINKER:--whole-archive" "$<TARGET_FILE:vrk_task>"
                    "LINKER:--no-whole-archive")
target_link_libraries(VRKFinderSync PRIVATE vrk_task)

vrk_test(NAME installer_test
         SOURCES ${CMAKE_CURRENT_LIST_DIR}/VRKYosemiteFindSyncExtensionHelper_test.cc
         LIBS VRKFinderSync nlohmann_json::nlohmann_json)
target_compile_definitions(installer_test PRIVATE VRK_SYNC_APP="${VRK_SYNC_APP}")
add_dependencies(installer_test sync_app pluginkit)
target_compile_definitions(installer_test PRIVATE VRK_PLUGINKIT="$<TARGET_FILE:pluginkit>")
