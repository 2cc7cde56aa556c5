# What unit tests share: a private emulated root, another peer on the session bus, running the
# loop until a condition holds, sample values, the processes a test started. Every vrk_test links
# it; production targets never do.
add_library(vrk_test_support INTERFACE)
target_sources(vrk_test_support INTERFACE
  FILE_SET HEADERS BASE_DIRS ${PROJECT_SOURCE_DIR} FILES
  ${CMAKE_CURRENT_LIST_DIR}/support/ChildProcesses.h
  ${CMAKE_CURRENT_LIST_DIR}/support/TemporaryRoot.h
  ${CMAKE_CURRENT_LIST_DIR}/support/TestBusPeer.h
  ${CMAKE_CURRENT_LIST_DIR}/support/ObjectSamples.h
  ${CMAKE_CURRENT_LIST_DIR}/support/RunLoopUntil.h)
target_link_libraries(vrk_test_support INTERFACE vrk_foundation)
