# The extension: FinderSync in a static library (so unit tests can link it), the executable
# VRKFinderSyncExtension whose entry point is the platform's NSExtensionMain, and its bundle
# VRKFinderSyncExtension.appex inside Sync.app/Contents/PlugIns.
if(NOT TARGET vrk_extension_bridge OR NOT TARGET vrk_findersync OR NOT TARGET vrk_localization)
  return()
endif()

add_library(vrk_findersync_extension STATIC ${CMAKE_CURRENT_LIST_DIR}/FinderSync.cc)
target_link_libraries(vrk_findersync_extension
                      PUBLIC vrk_extension_bridge vrk_findersync vrk_appkit vrk_locale vrk_defaults
                             vrk_distributed vrk_localization vrk_menuiteminfo)

set(VRK_EXTENSION_APPEX ${VRK_SYNC_APP}/Contents/PlugIns/VRKFinderSyncExtension.appex)
add_executable(VRKFinderSyncExtension $<TARGET_OBJECTS:vrk_nsextension_main>)
# Whole archive: the principal class registers itself from a static initializer that nothing
# else refers to.
target_link_libraries(VRKFinderSyncExtension
                      PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,vrk_findersync_extension>"
                              vrk_findersync)
set_target_properties(VRKFinderSyncExtension PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                                        ${VRK_EXTENSION_APPEX}/Contents/MacOS)

set(ext_src ${CMAKE_CURRENT_LIST_DIR}/Resources)
set(ext_outputs)
foreach(file Info.plist VRKFinderSyncExtension.entitlements)
  add_custom_command(OUTPUT ${VRK_EXTENSION_APPEX}/Contents/${file}
                     COMMAND ${CMAKE_COMMAND} -E copy ${ext_src}/${file} ${VRK_EXTENSION_APPEX}/Contents/${file}
                     DEPENDS ${ext_src}/${file})
  list(APPEND ext_outputs ${VRK_EXTENSION_APPEX}/Contents/${file})
endforeach()
foreach(file processing.svg paused.svg succeeded.svg failed.svg locked.svg forbidden.svg
             context-menu-icon.svg en.lproj/Localizations.strings
             zh-Hans.lproj/Localizations.strings zh-Hant.lproj/Localizations.strings)
  set(out ${VRK_EXTENSION_APPEX}/Contents/Resources/${file})
  add_custom_command(OUTPUT ${out} COMMAND ${CMAKE_COMMAND} -E copy ${ext_src}/${file} ${out}
                     DEPENDS ${ext_src}/${file})
  list(APPEND ext_outputs ${out})
endforeach()
add_custom_target(extension_bundle ALL DEPENDS ${ext_outputs} VRKFinderSyncExtension)
vrk_install_in_sync_app(SUBDIR Contents/PlugIns/VRKFinderSyncExtension.appex/Contents/MacOS
                        TARGETS VRKFinderSyncExtension)

vrk_test(NAME findersync_extension_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/FinderSync_test.cc
         LIBS vrk_findersync_extension VRKFinderSync LABELS threads)
target_compile_definitions(findersync_extension_test PRIVATE VRK_EXTENSION_APPEX="${VRK_EXTENSION_APPEX}")
add_dependencies(findersync_extension_test extension_bundle)
