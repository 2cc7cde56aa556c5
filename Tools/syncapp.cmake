# Sync.app, the sync client's application bundle, assembled in the build tree: its Info.plist
# and the Localizable.strings that translate the menu titles. The extension bundle goes into
# its Contents/PlugIns. A Python client uses it through VRK_MAIN_BUNDLE.
set(app_src ${CMAKE_CURRENT_LIST_DIR}/SyncApp)
set(app_outputs)
foreach(file Info.plist en.lproj/Localizable.strings zh-Hans.lproj/Localizable.strings
             zh-Hant.lproj/Localizable.strings)
  if(file STREQUAL "Info.plist")
    set(out ${VRK_SYNC_APP}/Contents/Info.plist)
  else()
    set(out ${VRK_SYNC_APP}/Contents/Resources/${file})
  endif()
  add_custom_command(OUTPUT ${out} COMMAND ${CMAKE_COMMAND} -E copy ${app_src}/${file} ${out}
                     DEPENDS ${app_src}/${file})
  list(APPEND app_outputs ${out})
endforeach()
add_custom_target(sync_app ALL DEPENDS ${app_outputs})
