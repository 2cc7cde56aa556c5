# pluginkit, the plug-in registry tool, and vrk_registry, the registry it keeps, which the file
# manager hosts read to find the extensions they start.
set(_dir ${CMAKE_CURRENT_LIST_DIR}/pluginkit)
add_library(vrk_registry STATIC ${_dir}/PluginRegistry.cc)
target_link_libraries(vrk_registry PUBLIC vrk_foundation_core
                                   PRIVATE vrk_bundle nlohmann_json::nlohmann_json)

add_executable(pluginkit ${_dir}/main.cc)
target_link_libraries(pluginkit PRIVATE vrk_registry)
vrk_install_private_tool(pluginkit)
# Whatever runs tasks may link pluginkit into a fresh emulated root, so it is built with them.
if(TARGET vrk_task)
  add_dependencies(vrk_task pluginkit)
endif()

vrk_test(NAME pluginkit_test SOURCES ${_dir}/PluginRegistry_test.cc LIBS vrk_registry vrk_task)
target_compile_definitions(pluginkit_test PRIVATE PLUGINKIT="$<TARGET_FILE:pluginkit>")
