# The process-local NSNotificationCenter.
set(_dir ${CMAKE_CURRENT_LIST_DIR})
add_library(vrk_notifications STATIC ${_dir}/NSNotificationCenter.cc)
target_link_libraries(vrk_notifications PUBLIC vrk_foundation_core Threads::Threads)
set(VRK_FOUNDATION_PARTS ${VRK_FOUNDATION_PARTS} vrk_notifications)

vrk_test(NAME notifications_test SOURCES ${_dir}/NSNotificationCenter_test.cc
         LIBS vrk_notifications LABELS threads)
