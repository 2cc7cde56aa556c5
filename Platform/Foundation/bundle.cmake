# NSBundle, string tables, XML property lists and the version probes.
if(NOT TARGET EXPAT::EXPAT)
  find_package(EXPAT REQUIRED GLOBAL)
endif()

add_library(vrk_bundle STATIC
  ${CMAKE_CURRENT_LIST_DIR}/NSBundle.cc
  ${CMAKE_CURRENT_LIST_DIR}/StringsFile.cc
  ${CMAKE_CURRENT_LIST_DIR}/PropertyList.cc
  ${CMAKE_CURRENT_LIST_DIR}/VersionProbes.cc)
target_link_libraries(vrk_bundle PUBLIC vrk_foundation_core PRIVATE EXPAT::EXPAT)
set(VRK_FOUNDATION_PARTS ${VRK_FOUNDATION_PARTS} vrk_bundle)

vrk_test(NAME bundle_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/StringsFile_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/PropertyList_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/NSBundle_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/VersionProbes_test.cc
  LIBS vrk_bundle)
# The real-world files of the fuzz corpus are also read with their expected results.
target_compile_definitions(bundle_test PRIVATE VRK_CORPUS_DIR="${PROJECT_SOURCE_DIR}/fuzz/corpus")
