# The extension's end of the Mach bridge.
add_library(vrk_extension_bridge STATIC
            ${CMAKE_CURRENT_LIST_DIR}/VRKFinderSyncMachBridgeExtensionSide.cc)
target_link_libraries(vrk_extension_bridge PUBLIC vrk_mach)

vrk_test(NAME mach_extension_bridge_test
         SOURCES ${CMAKE_CURRENT_LIST_DIR}/VRKFinderSyncMachBridgeExtensionSide_test.cc
         LIBS vrk_extension_bridge)
