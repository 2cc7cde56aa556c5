# vrk_test(NAME name SOURCES a.cc ... LIBS lib ... [LABELS l ...])
# A GoogleTest binary registered with CTest as one test per test case. Each test case runs in
# its own process under its own private session bus, so broadcasts of tests that run in
# parallel never reach each other and every test starts with fresh process-wide state.
function(vrk_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} vrk_test_support GTest::gtest GTest::gmock
                                             GTest::gtest_main)
  set_target_properties(${T_NAME} PROPERTIES CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/cmake/private-bus)
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 LABELS "${T_LABELS}")
endfunction()

# vrk_fuzz(NAME name SOURCE target.cc LIBS lib ... CORPUS dir)
# The target always builds as a replay program that CTest runs on the checked-in corpus; with
# VRK_FUZZ and clang it also builds as a libFuzzer binary named name_fuzzer. The libraries it
# links are then instrumented too (the top-level -fsanitize=fuzzer-no-link), so coverage counts
# the code under test, not only the harness.
function(vrk_fuzz)
  cmake_parse_arguments(F "" "NAME;SOURCE;CORPUS" "LIBS" ${ARGN})
  add_executable(${F_NAME}_replay ${F_SOURCE} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cc)
  target_link_libraries(${F_NAME}_replay PRIVATE ${F_LIBS})
  add_test(NAME ${F_NAME}_corpus COMMAND ${F_NAME}_replay ${F_CORPUS})
  set_tests_properties(${F_NAME}_corpus PROPERTIES TIMEOUT 300 LABELS fuzz)
  if(VRK_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_executable(${F_NAME}_fuzzer ${F_SOURCE})
    target_compile_options(${F_NAME}_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${F_NAME}_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${F_NAME}_fuzzer PRIVATE ${F_LIBS})
  endif()
endfunction()

# vrk_bench(NAME name SOURCES a.cc ... LIBS lib ...)
function(vrk_bench)
  if(NOT VRK_BENCH)
    return()
  endif()
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} benchmark::benchmark)
endfunction()
