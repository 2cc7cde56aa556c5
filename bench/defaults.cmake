# The settings suite: storing the badge cache and synchronizing it.
vrk_bench(NAME defaults_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/defaults_bench.cc
          LIBS vrk_defaults)
