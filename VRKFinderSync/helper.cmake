# The controller's helper, copy and sidebar services join libVRKFinderSync.so with the platform
# services they use (the whole archives, as controller.cmake explains).
if(NOT TARGET VRKFinderSync OR NOT TARGET vrk_servicemanagement OR NOT TARGET vrk_coreservices)
  return()
endif()
target_sources(VRKFinderSync PRIVATE ${CMAKE_CURRENT_LIST_DIR}/VRKFinderSyncHelper.cc)
set(vrk_helper_parts vrk_security vrk_xpcwire vrk_xpc vrk_servicemanagement vrk_url
                     vrk_coreservices)
set(vrk_helper_archives)
foreach(part ${vrk_helper_parts})
  list(APPEND vrk_helper_archives "$<TARGET_FILE:${part}>")
endforeach()
target_link_options(VRKFinderSync PRIVATE "LINKER:--whole-archive" ${vrk_helper_archives}
                    "LINKER:--no-whole-archive")
target_link_libraries(VRKFinderSync PRIVATE ${vrk_helper_parts})

vrk_test(NAME controller_helper_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/VRKFinderSyncHelper_test.cc
         LIBS VRKFinderSync LABELS threads)
target_compile_definitions(controller_helper_test PRIVATE VRK_SYNC_APP="${VRK_SYNC_APP}")
add_dependencies(controller_helper_test sync_app VRKLaunchDaemon)
