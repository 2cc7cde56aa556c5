# The menu item record, one static library that both deliverables link.
add_library(vrk_menuiteminfo STATIC ${CMAKE_CURRENT_LIST_DIR}/VRKMenuItemInfo.cc)
target_link_libraries(vrk_menuiteminfo PUBLIC vrk_foundation_core)

vrk_test(NAME menuiteminfo_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/VRKMenuItemInfo_test.cc
  LIBS vrk_menuiteminfo)
