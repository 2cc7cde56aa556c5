# The settings store and distributed notifications between two processes (store, then post).
vrk_test(NAME store_notify_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/store_notify_test.cc
         LIBS vrk_distributed vrk_defaults LABELS threads)
