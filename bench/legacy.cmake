# Before 10.10: a badge through the legacy proxy into the bundle inside vrk-finder.
if(TARGET VRKFinderSync AND TARGET vrk-finder AND TARGET VRKFinderPlugin)
  vrk_bench(NAME legacy_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/legacy_bench.cc
            LIBS VRKFinderSync PkgConfig::SYSTEMD)
  if(TARGET legacy_bench)
    add_dependencies(legacy_bench vrk-finder VRKFinderPlugin)
  endif()
endif()
