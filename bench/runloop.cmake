# Cross-thread hand-off and local notification delivery.
vrk_bench(NAME runloop_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/runloop_bench.cc
          LIBS vrk_runloop vrk_notifications)
