# libVRKFinderSync.so, begun here with the Mach listener and its exported functions; the
# controller joins it from its own fragment. The Platform code linked into it keeps default
# visibility, so that whatever links the library (tests, the Python module) uses the library's
# one copy of the log, the run loops and the port name table instead of a second one.
add_library(VRKFinderSync SHARED ${CMAKE_CURRENT_LIST_DIR}/VRKFinderSyncMachBridgeClientSide.cc)
target_link_libraries(VRKFinderSync PRIVATE vrk_mach)
set_target_properties(VRKFinderSync PROPERTIES OUTPUT_NAME VRKFinderSync VERSION ${PROJECT_VERSION}
                                               SOVERSION ${PROJECT_VERSION_MAJOR})
install(TARGETS VRKFinderSync LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

vrk_test(NAME mach_listener_test
         SOURCES ${CMAKE_CURRENT_LIST_DIR}/VRKFinderSyncMachBridgeClientSide_test.cc
         LIBS VRKFinderSync LABELS threads)
