# NSBundle, string tables, XML property lists and the version probes.
if(NOT TARGET pugixml::pugixml)
  find_package(pugixml REQUIRED GLOBAL)
endif()

add_library(vrk_bundle STATIC
  ${CMAKE_CURRENT_LIST_DIR}/NSBundle.cc
  ${CMAKE_CURRENT_LIST_DIR}/StringsFile.cc
  ${CMAKE_CURRENT_LIST_DIR}/PropertyList.cc
  ${CMAKE_CURRENT_LIST_DIR}/VersionProbes.cc)
target_link_libraries(vrk_bundle PUBLIC vrk_foundation_core PRIVATE pugixml::pugixml)
set(VRK_FOUNDATION_PARTS ${VRK_FOUNDATION_PARTS} vrk_bundle)

vrk_test(NAME bundle_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/StringsFile_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/PropertyList_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/NSBundle_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/VersionProbes_test.cc
  LIBS vrk_bundle)
