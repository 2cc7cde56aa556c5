# The Dolphin (KDE) plug-ins that host the extension: vrk-dolphin-overlays.so, a KOverlayIconPlugin
# for the badges, and vrk-dolphin-menu.so, a KAbstractFileItemActionPlugin for the context menu,
# over the host core with Qt's event loop (Tools/dolphin). Built when KF5 KIO is installed; its
# tests report themselves skipped otherwise. (The fragment's name puts it after filemanager.cmake,
# whose host core it builds on.)
find_package(KF5KIO 5.90 QUIET)
find_package(Qt5 5.15 QUIET COMPONENTS Core Widgets)

if(NOT KF5KIO_FOUND OR NOT Qt5_FOUND OR NOT TARGET vrk_filemanager_host)
  message(STATUS "KF5 KIO not found: the Dolphin plug-ins are not built")
  add_test(NAME dolphin_plugins_test
           COMMAND sh -c "echo 'skipped: libkf5kio-dev is not installed (./run setup)'; exit 77")
  set_tests_properties(dolphin_plugins_test PROPERTIES SKIP_RETURN_CODE 77)
  return()
endif()

# Qt's plug-in folder below the install prefix (lib/x86_64-linux-gnu/qt5/plugins on Debian), so
# that the package (made for /usr) puts the plug-ins where Dolphin looks.
get_target_property(_qmake Qt5::qmake IMPORTED_LOCATION)
execute_process(COMMAND ${_qmake} -query QT_INSTALL_PLUGINS OUTPUT_VARIABLE _qt_plugins
                OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${_qmake} -query QT_INSTALL_PREFIX OUTPUT_VARIABLE _qt_prefix
                OUTPUT_STRIP_TRAILING_WHITESPACE)
file(RELATIVE_PATH _relative_plugins ${_qt_prefix} ${_qt_plugins})
set(VRK_QT_PLUGIN_DIR ${_relative_plugins}
    CACHE PATH "Qt's plug-in folder (relative: below the install prefix)")

set(_dir ${CMAKE_CURRENT_LIST_DIR}/dolphin)
# In the build tree the plug-ins lie as below Qt's plug-in folder, so that QT_PLUGIN_PATH set to
# this folder gives them to Dolphin.
set(VRK_DOLPHIN_PLUGIN_PATH ${CMAKE_BINARY_DIR}/Tools/qtplugins)

# GLib's headers use `signals` as a name: Qt's keywords stay off, and the code says Q_SIGNALS.
add_library(vrk_dolphin_host STATIC ${_dir}/DolphinHost.cc)
target_link_libraries(vrk_dolphin_host PUBLIC vrk_filemanager_host Qt5::Core)
target_compile_definitions(vrk_dolphin_host PUBLIC QT_NO_KEYWORDS)

foreach(plugin overlays menu)
  if(plugin STREQUAL overlays)
    set(_source ${_dir}/OverlayPlugin.cc)
    set(_folder kf5/overlayicon)
  else()
    set(_source ${_dir}/ActionPlugin.cc)
    set(_folder kf5/kfileitemaction)
  endif()
  add_library(vrk-dolphin-${plugin} MODULE ${_source})
  target_link_libraries(vrk-dolphin-${plugin} PRIVATE vrk_dolphin_host KF5::KIOWidgets)
  # moc for these targets only; the rest of the tree has no Qt.
  set_target_properties(vrk-dolphin-${plugin} PROPERTIES
    AUTOMOC ON PREFIX "" OUTPUT_NAME vrk-dolphin-${plugin}
    LIBRARY_OUTPUT_DIRECTORY ${VRK_DOLPHIN_PLUGIN_PATH}/${_folder}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  # Our static libraries must not clash with anything else in Dolphin's process, nor the two
  # plug-ins' copies with each other.
  target_link_options(vrk-dolphin-${plugin} PRIVATE -Wl,--exclude-libs,ALL)
  install(TARGETS vrk-dolphin-${plugin} LIBRARY DESTINATION ${VRK_QT_PLUGIN_DIR}/${_folder}
          COMPONENT dolphin)
endforeach()

# Each plug-in loaded with QPluginLoader as Dolphin loads it, with the test extension.
vrk_test(NAME dolphin_plugins_test SOURCES ${_dir}/DolphinPlugins_test.cc
         LIBS KF5::KIOWidgets Qt5::Widgets)
target_compile_definitions(dolphin_plugins_test PRIVATE QT_NO_KEYWORDS
  VRK_DOLPHIN_OVERLAYS="$<TARGET_FILE:vrk-dolphin-overlays>"
  VRK_DOLPHIN_MENU="$<TARGET_FILE:vrk-dolphin-menu>"
  VRK_TEST_APPEX="${CMAKE_BINARY_DIR}/tests/FinderTestExtension.appex")
add_dependencies(dolphin_plugins_test vrk-dolphin-overlays vrk-dolphin-menu finder_test_extension)
