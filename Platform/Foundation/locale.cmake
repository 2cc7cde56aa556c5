# NSLocale: the language and script of the process locale.
add_library(vrk_locale STATIC ${CMAKE_CURRENT_LIST_DIR}/NSLocale.cc)
target_link_libraries(vrk_locale PUBLIC vrk_foundation_core)
set(VRK_FOUNDATION_PARTS ${VRK_FOUNDATION_PARTS} vrk_locale)

vrk_test(NAME locale_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/NSLocale_test.cc LIBS vrk_locale)
