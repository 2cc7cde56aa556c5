# The Debian packages, made by CPack from the install rules (./run package): the core package
# (vrkfindersync: the library, the Python module, Sync.app, the tools and the headers) and one
# small package per file manager whose module was built (vrkfindersync-nautilus, -nemo, -caja,
# -dolphin), holding only its module (Dolphin's: its two plug-ins) and depending on the core
# package and, through
# dpkg-shlibdeps, on its file manager's extension library. dpkg-shlibdeps computes the library
# dependencies; the rest are the interpreter the module is built for and a session bus, which
# every piece of the system talks over.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL core)
set(CPACK_DEBIAN_CORE_PACKAGE_NAME vrkfindersync)
set(vrk_file_managers "")
foreach(fm nautilus nemo caja dolphin)
  if(TARGET vrk-${fm} OR TARGET vrk-${fm}-overlays)
    list(APPEND CPACK_COMPONENTS_ALL ${fm})
    list(APPEND vrk_file_managers ${fm})
  endif()
endforeach()
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
set(CPACK_DEBIAN_CORE_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/triggers
                                            ${CMAKE_BINARY_DIR}/packaging/shlibs)
# The module is built for one interpreter version (VRK_PYTHON_VERSION, from Python/).
if(TARGET vrkfindersync)
  string(REPLACE "." ";" py ${VRK_PYTHON_VERSION})
  list(GET py 1 minor)
  math(EXPR next "${minor} + 1")
  set(CPACK_DEBIAN_CORE_PACKAGE_DEPENDS
      "python3 (>= ${VRK_PYTHON_VERSION}), python3 (<< 3.${next})")
endif()
set(CPACK_DEBIAN_CORE_PACKAGE_RECOMMENDS "default-dbus-session-bus | dbus-session-bus")
if(vrk_file_managers)
  list(TRANSFORM vrk_file_managers PREPEND "vrkfindersync-" OUTPUT_VARIABLE vrk_module_packages)
  string(REPLACE ";" " | " vrk_suggests "${vrk_module_packages}")
  set(CPACK_DEBIAN_CORE_PACKAGE_SUGGESTS "${vrk_suggests}")
endif()
set(vrk_fm_title_nautilus "GNOME Files")
set(vrk_fm_title_nemo "Nemo")
set(vrk_fm_title_caja "Caja")
set(vrk_fm_title_dolphin "Dolphin")
foreach(fm ${vrk_file_managers})
  string(TOUPPER ${fm} FM)
  set(CPACK_DEBIAN_${FM}_PACKAGE_NAME vrkfindersync-${fm})
  set(CPACK_DEBIAN_${FM}_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_${FM}_PACKAGE_DEPENDS "vrkfindersync (= ${PROJECT_VERSION}-1)")
  set(CPACK_DEBIAN_${FM}_PACKAGE_ENHANCES ${fm})
  set(CPACK_DEBIAN_${FM}_DESCRIPTION
      "The ${vrk_fm_title_${fm}} module of vrkfindersync: it starts the sync client's
file manager extension and shows each item's sync-status badge as an emblem
beside its icon, and adds the sync client's commands to an item's context
menu.")
endforeach()
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
bundle; vrk-finder, a small file manager host that runs
the extension; pluginkit, the registry of extensions; the privileged copy
helper; vrk-defaults for the settings store; and the headers and pkg-config
file for a C++ client. The modules of the file managers are packaged apart
(vrkfindersync-nautilus, -nemo, -caja, -dolphin).")
set(CPACK_COMPONENT_CORE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")

# Debian wants the copyright notice and a compressed changelog in each package's doc folder.
set(changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog_gz}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
                   COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog_gz}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
add_custom_target(package_changelog ALL DEPENDS ${changelog_gz})
foreach(component core ${vrk_file_managers})
  set(package vrkfindersync-${component})
  if(component STREQUAL core)
    set(package vrkfindersync)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog_gz}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

include(CPack)
