# vrk-bridge-probe: the extension's end of the message port as a command, for tests and the demo.
if(NOT TARGET vrk_extension_bridge OR NOT TARGET vrk_defaults)
  return()
endif()
add_executable(vrk-bridge-probe ${CMAKE_CURRENT_LIST_DIR}/bridge-probe/main.cc)
target_link_libraries(vrk-bridge-probe PRIVATE vrk_extension_bridge vrk_defaults
                                               nlohmann_json::nlohmann_json)
set_target_properties(vrk-bridge-probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/Tools)
