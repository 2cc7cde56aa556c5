# Post-to-observer latency of distributed notifications between two processes.
vrk_bench(NAME distributed_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/distributed_bench.cc
          LIBS vrk_distributed)
