# libvrk-nemo.so and libvrk-caja.so, the Nemo 5.6 and Caja 1.26 modules: one source each over the
# shared GTK 3 module (Tools/filemanager/Gtk3Module.inc) and the host core. Each is built when its
# file manager's extension library is installed; its tests report themselves skipped otherwise.
foreach(fm nemo caja)
  string(TOUPPER ${fm} FM)
  string(SUBSTRING ${fm} 0 1 _first)
  string(TOUPPER ${_first} _first)
  string(SUBSTRING ${fm} 1 -1 _rest)
  set(FM_NAME ${_first}${_rest})
  pkg_check_modules(${FM} QUIET IMPORTED_TARGET lib${fm}-extension)
  if(NOT ${FM}_FOUND OR NOT TARGET vrk_filemanager_host)
    message(STATUS "lib${fm}-extension not found: the ${fm} module is not built")
    add_test(NAME ${fm}_module_test
             COMMAND sh -c "echo 'skipped: lib${fm}-extension-dev is not installed (./run setup)'; exit 77")
    set_tests_properties(${fm}_module_test PROPERTIES SKIP_RETURN_CODE 77)
    continue()
  endif()
  pkg_get_variable(_pkg_dir lib${fm}-extension extensiondir)
  pkg_get_variable(_pkg_prefix lib${fm}-extension prefix)
  file(RELATIVE_PATH _relative_dir ${_pkg_prefix} ${_pkg_dir})
  set(VRK_${FM}_EXTENSION_DIR ${_relative_dir}
      CACHE PATH "Where ${fm} loads its modules from (relative: below the install prefix)")

  add_library(vrk-${fm} MODULE ${CMAKE_CURRENT_LIST_DIR}/${fm}/${FM_NAME}Module.cc)
  target_link_libraries(vrk-${fm} PRIVATE vrk_filemanager_host PkgConfig::${FM})
  set_target_properties(vrk-${fm} PROPERTIES PREFIX "lib" OUTPUT_NAME vrk-${fm}
                        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(vrk-${fm} PRIVATE -Wl,--exclude-libs,ALL)
  install(TARGETS vrk-${fm} LIBRARY DESTINATION ${VRK_${FM}_EXTENSION_DIR} COMPONENT ${fm})

  vrk_test(NAME ${fm}_module_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/${fm}/${FM_NAME}Module_test.cc
           LIBS PkgConfig::${FM} PkgConfig::GMODULE)
  target_compile_definitions(${fm}_module_test PRIVATE
    VRK_FM_MODULE="$<TARGET_FILE:vrk-${fm}>"
    VRK_TEST_APPEX="${CMAKE_BINARY_DIR}/tests/FinderTestExtension.appex")
  add_dependencies(${fm}_module_test vrk-${fm} finder_test_extension)
endforeach()
