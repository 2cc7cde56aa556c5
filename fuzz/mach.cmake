# The Mach listener's decoding and dispatch of arbitrary datagrams. The listener's source is
# compiled into the targets themselves so that the fuzzer instruments it.
set(mach_listener_source ${PROJECT_SOURCE_DIR}/VRKFinderSync/VRKFinderSyncMachBridgeClientSide.cc)
vrk_fuzz(NAME mach_listener SOURCE ${CMAKE_CURRENT_LIST_DIR}/mach_listener_fuzz.cc LIBS vrk_mach
         CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/mach)
target_sources(mach_listener_replay PRIVATE ${mach_listener_source})
if(TARGET mach_listener_fuzzer)
  target_sources(mach_listener_fuzzer PRIVATE ${mach_listener_source})
endif()
