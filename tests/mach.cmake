# The Mach bridge across processes: the listener in the test, the extension's end in a helper.
add_executable(mach_extension_helper ${CMAKE_CURRENT_LIST_DIR}/mach_extension_helper.cc)
target_link_libraries(mach_extension_helper PRIVATE vrk_extension_bridge)

vrk_test(NAME mach_bridge_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mach_bridge_test.cc
         LIBS VRKFinderSync)
target_compile_definitions(mach_bridge_test
                           PRIVATE MACH_EXTENSION_HELPER="$<TARGET_FILE:mach_extension_helper>")
add_dependencies(mach_bridge_test mach_extension_helper)
