# The privileged helper com.mirelta.sync.VRKLaunchDaemon, shipped inside Sync.app as SMJobBless
# expects it: Contents/Library/LaunchServices/<label>, with its Info.plist and launchd property
# list beside it.
set(helper_label com.mirelta.sync.VRKLaunchDaemon)
set(helper_dir ${VRK_SYNC_APP}/Contents/Library/LaunchServices)

add_library(vrk_securecopy STATIC ${CMAKE_CURRENT_LIST_DIR}/helper/SecureCopy.cc)
target_link_libraries(vrk_securecopy PUBLIC vrk_foundation_core)

add_executable(VRKLaunchDaemon ${CMAKE_CURRENT_LIST_DIR}/helper/VRKLaunchDaemon.cc)
target_link_libraries(VRKLaunchDaemon PRIVATE vrk_securecopy vrk_xpc)
set_target_properties(VRKLaunchDaemon PROPERTIES OUTPUT_NAME ${helper_label}
                      RUNTIME_OUTPUT_DIRECTORY ${helper_dir})

set(helper_plists)
foreach(kind Info Launchd)
  set(out ${helper_dir}/${helper_label}-${kind}.plist)
  add_custom_command(OUTPUT ${out}
                     COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/helper/${kind}.plist ${out}
                     DEPENDS ${CMAKE_CURRENT_LIST_DIR}/helper/${kind}.plist)
  list(APPEND helper_plists ${out})
endforeach()
add_custom_target(helper_plists ALL DEPENDS ${helper_plists})
add_dependencies(VRKLaunchDaemon helper_plists)
if(COMMAND vrk_install_in_sync_app)
  vrk_install_in_sync_app(SUBDIR Contents/Library/LaunchServices TARGETS VRKLaunchDaemon)
endif()

vrk_test(NAME helper_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/helper/SecureCopy_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/helper/VRKLaunchDaemon_test.cc
  LIBS vrk_securecopy vrk_servicemanagement vrk_xpc LABELS threads)
target_compile_definitions(helper_test PRIVATE VRK_SYNC_APP="${VRK_SYNC_APP}")
add_dependencies(helper_test VRKLaunchDaemon sync_app)

add_executable(vrk-helper-copy ${CMAKE_CURRENT_LIST_DIR}/helper/vrk-helper-copy.cc)
target_link_libraries(vrk-helper-copy PRIVATE vrk_xpc)
if(COMMAND vrk_install_tool)
  vrk_install_tool(vrk-helper-copy)
  vrk_install_man(helper/vrk-helper-copy.1)
endif()
add_dependencies(helper_test vrk-helper-copy)
target_compile_definitions(helper_test PRIVATE
  VRK_HELPER_COPY="$<TARGET_FILE:vrk-helper-copy>"
  VRK_HELPER_DAEMON="$<TARGET_FILE:VRKLaunchDaemon>")
