# vrk-defaults, the settings store's command-line tool.
add_executable(vrk-defaults ${CMAKE_CURRENT_LIST_DIR}/defaults/main.cc)
target_link_libraries(vrk-defaults PRIVATE vrk_defaults)
vrk_install_tool(vrk-defaults)
vrk_install_man(defaults/vrk-defaults.1)
