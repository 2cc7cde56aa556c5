# libvrk-nautilus.so, the GNOME Files (Nautilus 43) module that hosts the extension. Optional:
# without libnautilus-extension-4 the rest builds and its tests report themselves skipped.
pkg_check_modules(NAUTILUS QUIET IMPORTED_TARGET libnautilus-extension-4)

if(NOT NAUTILUS_FOUND OR NOT TARGET vrk_filemanager_host)
  message(STATUS "libnautilus-extension-4 not found: the GNOME Files module is not built")
  # Reported as skipped, with the reason, rather than passing by not being there.
  add_test(NAME nautilus_module_test
           COMMAND sh -c "echo 'skipped: libnautilus-extension-4 is not installed (./run setup)'; exit 77")
  set_tests_properties(nautilus_module_test PROPERTIES SKIP_RETURN_CODE 77)
  return()
endif()
# GNOME Files loads modules only from its own folder. Below its prefix (/usr) the folder is
# given relative to the install prefix, so the package (made for /usr) and `cmake --install`
# with --prefix /usr both put the module there; an absolute VRK_NAUTILUS_EXTENSION_DIR puts it
# there from any prefix.
pkg_get_variable(_pkg_dir libnautilus-extension-4 extensiondir)
pkg_get_variable(_pkg_prefix libnautilus-extension-4 prefix)
file(RELATIVE_PATH _relative_dir ${_pkg_prefix} ${_pkg_dir})
set(VRK_NAUTILUS_EXTENSION_DIR ${_relative_dir}
    CACHE PATH "Where GNOME Files loads its modules from (relative: below the install prefix)")

# GNOME Files' front end of the host core.
set(_dir ${CMAKE_CURRENT_LIST_DIR}/nautilus)
add_library(vrk_nautilus_host STATIC ${_dir}/NautilusHost.cc)
target_link_libraries(vrk_nautilus_host PUBLIC vrk_filemanager_host PkgConfig::NAUTILUS)

add_library(vrk-nautilus MODULE ${_dir}/NautilusModule.cc)
target_link_libraries(vrk-nautilus PRIVATE vrk_nautilus_host)
# Only the three entry points leave the module: our static libraries must not clash with
# anything else GNOME Files has loaded.
set_target_properties(vrk-nautilus PROPERTIES PREFIX "lib" OUTPUT_NAME vrk-nautilus
                      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_link_options(vrk-nautilus PRIVATE -Wl,--exclude-libs,ALL)

include(GNUInstallDirs)
install(TARGETS vrk-nautilus LIBRARY DESTINATION ${VRK_NAUTILUS_EXTENSION_DIR} COMPONENT nautilus)

# The module as GNOME Files loads it, with a fake NautilusFileInfo and the test extension.
vrk_test(NAME nautilus_module_test SOURCES ${_dir}/NautilusModule_test.cc
         LIBS PkgConfig::NAUTILUS PkgConfig::GMODULE)
target_compile_definitions(nautilus_module_test PRIVATE
  VRK_NAUTILUS_MODULE="$<TARGET_FILE:vrk-nautilus>"
  VRK_TEST_APPEX="${CMAKE_BINARY_DIR}/tests/FinderTestExtension.appex")
add_dependencies(nautilus_module_test vrk-nautilus finder_test_extension)
