# NSRunLoop / NSThread / the dispatch main queue, on sd-event.
set(_dir ${CMAKE_CURRENT_LIST_DIR})
add_library(vrk_runloop STATIC ${_dir}/RunLoop.cc ${_dir}/RunLoopMailbox.cc ${_dir}/RunLoopThread.cc)
target_link_libraries(vrk_runloop PUBLIC vrk_foundation_core PkgConfig::SYSTEMD Threads::Threads)
set(VRK_FOUNDATION_PARTS ${VRK_FOUNDATION_PARTS} vrk_runloop)

vrk_test(NAME runloop_test SOURCES ${_dir}/RunLoop_test.cc LIBS vrk_runloop LABELS threads)
