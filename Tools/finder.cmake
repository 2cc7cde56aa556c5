# vrk-finder, the file manager host that stands in for Finder: the JSON-lines front end of the
# shared host library (vrk_findersync_host).
set(_dir ${CMAKE_CURRENT_LIST_DIR}/finder)
add_library(vrk_finder_host STATIC ${_dir}/FinderCommand.cc ${_dir}/FinderHost.cc)
target_link_libraries(vrk_finder_host PUBLIC vrk_findersync_host vrk_registry nlohmann_json::nlohmann_json)

add_executable(vrk-finder ${_dir}/main.cc)
target_link_libraries(vrk-finder PRIVATE vrk_finder_host)
vrk_install_tool(vrk-finder)

vrk_test(NAME finder_host_unit_test SOURCES ${_dir}/FinderCommand_test.cc LIBS vrk_finder_host)
