# The badge path end to end: a Python sync client, vrk-finder with the extension, a private
# bus. The benchmark only drives those processes, so it links none of the system's code.
if(TARGET vrk-finder AND TARGET extension_bundle AND TARGET vrkfindersync)
  vrk_bench(NAME endtoend_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/endtoend_bench.cc
            LIBS PkgConfig::SYSTEMD nlohmann_json::nlohmann_json)
  if(TARGET endtoend_bench)
    add_dependencies(endtoend_bench vrk-finder extension_bundle vrkfindersync sync_app)
  endif()
endif()
