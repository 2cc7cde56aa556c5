# NSURL for file URLs.
add_library(vrk_url STATIC ${CMAKE_CURRENT_LIST_DIR}/NSURL.cc)
target_link_libraries(vrk_url PUBLIC vrk_foundation_core)
set(VRK_FOUNDATION_PARTS ${VRK_FOUNDATION_PARTS} vrk_url)

vrk_test(NAME url_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/NSURL_test.cc LIBS vrk_url)
