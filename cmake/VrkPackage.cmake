# The Debian package, made by CPack from the install rules (./run package). dpkg-shlibdeps
# computes the library dependencies; the rest are the interpreter the module is built for and
# a session bus, which every piece of the system talks over.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vrkfindersync)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "VRKFinderSync developers <vrkfindersync@users.noreply.github.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The library lies in a folder of the dynamic loader, so its cache is refreshed through libc's
# trigger, as Debian asks, rather than by maintainer scripts (which is what CPack's own shlibs
# generation would add). The shlibs file lets other packages depend on this library version.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/triggers "activate-noawait ldconfig\n")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/shlibs
     "libVRKFinderSync ${PROJECT_VERSION_MAJOR} vrkfindersync (>= ${PROJECT_VERSION})\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/triggers
                                       ${CMAKE_BINARY_DIR}/packaging/shlibs)
# The module is built for one interpreter version (VRK_PYTHON_VERSION, from Python/).
if(TARGET vrkfindersync)
  string(REPLACE "." ";" py ${VRK_PYTHON_VERSION})
  list(GET py 1 minor)
  math(EXPR next "${minor} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3 (>= ${VRK_PYTHON_VERSION}), python3 (<< 3.${next})")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "default-dbus-session-bus | dbus-session-bus")
set(vrk_nautilus_words "")
if(TARGET vrk-nautilus)
  set(vrk_nautilus_words "a GNOME Files module that shows the badges as\nemblems; ")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS nautilus)
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "sync-status badges and context menus in the file manager for a sync client")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Files and folders inside a desktop sync client's sync root carry sync-status
badges (processing, paused, succeeded, failed, locked, forbidden), and the
file manager's context menu on an item offers the client's commands (share a
link, view on the web, lock, unlock, view file versions); a chosen command is
handed back to the client with the item's path.
.
The package holds libVRKFinderSync, which a Python sync client loads through
the module vrkfindersync; the file manager extension inside its Sync.app
bundle; ${vrk_nautilus_words}vrk-finder, a small file manager host that runs
the extension; pluginkit, the registry of extensions; the privileged copy
helper; vrk-defaults for the settings store; and the headers and pkg-config
file for a C++ client.")

# Debian wants the copyright notice and a compressed changelog in the package's doc folder.
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${doc_dir})
set(changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog_gz}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
                   COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog_gz}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
add_custom_target(package_changelog ALL DEPENDS ${changelog_gz})
install(FILES ${changelog_gz} DESTINATION ${doc_dir})

include(CPack)
