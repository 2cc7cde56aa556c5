# The Mach bridge: one-way command throughput, and the lock question's round trip against a
# plain datagram ping-pong. Both ends run in the benchmark process, each on its own thread.
vrk_bench(NAME mach_bench
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/mach_bench.cc
                  ${PROJECT_SOURCE_DIR}/VRKFinderSync/VRKFinderSyncMachBridgeClientSide.cc
          LIBS vrk_extension_bridge)
