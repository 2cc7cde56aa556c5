# The host core that every GLib-based file manager's module links (Tools/filemanager), and the
# emblems they show. The modules themselves are in nautilus.cmake and gtk3fm.cmake.
pkg_check_modules(GMODULE QUIET IMPORTED_TARGET gmodule-2.0)
pkg_check_modules(GLIB QUIET IMPORTED_TARGET gio-2.0)

# The badge images of the extension become the emblems vrk-<image name> (Nemo and Caja look them
# up as emblem-vrk-<image name>); the build tree keeps a copy in an icon theme folder that tests
# and the demo put on XDG_DATA_DIRS.
set(VRK_EMBLEM_NAMES processing paused succeeded failed locked forbidden)
set(VRK_EMBLEM_BUILD_DIR ${CMAKE_BINARY_DIR}/share/icons/hicolor/scalable/emblems)
foreach(name ${VRK_EMBLEM_NAMES})
  foreach(prefix vrk- emblem-vrk-)
    configure_file(${PROJECT_SOURCE_DIR}/VRKFinderSyncExtension/Resources/${name}.svg
                   ${VRK_EMBLEM_BUILD_DIR}/${prefix}${name}.svg COPYONLY)
  endforeach()
endforeach()

# Installed with the core package whichever modules are built: the same files serve every file
# manager, and two module packages must not ship one file.
include(GNUInstallDirs)
foreach(name ${VRK_EMBLEM_NAMES})
  foreach(prefix vrk- emblem-vrk-)
    install(FILES ${PROJECT_SOURCE_DIR}/VRKFinderSyncExtension/Resources/${name}.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/emblems
            RENAME ${prefix}${name}.svg)
  endforeach()
endforeach()

if(GLIB_FOUND AND GMODULE_FOUND)
  set(_core ${CMAKE_CURRENT_LIST_DIR}/filemanager)
  add_library(vrk_filemanager_host STATIC ${_core}/HostCore.cc ${_core}/SdEventSource.cc
                                          ${_core}/ExtensionLocation.cc)
  target_link_libraries(vrk_filemanager_host PUBLIC vrk_findersync_host vrk_registry
                                                    PkgConfig::GLIB)
endif()
