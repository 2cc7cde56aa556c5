# NSTask and NSPipe, and the emulated root's command-line tools that tasks run.
set(_dir ${CMAKE_CURRENT_LIST_DIR})
# Where an installed library finds pluginkit when the build tree's copy is gone: relative to
# the library's own folder (cmake/VrkInstall.cmake), so that the installed tree works under
# whatever prefix it was installed to.
set(VRK_PLUGINKIT_INSTALLED ${VRK_INSTALL_LIBEXEC_FROM_LIBDIR}/pluginkit)

add_library(vrk_task STATIC ${_dir}/NSTask.cc ${_dir}/EmulatedTools.cc)
target_link_libraries(vrk_task PUBLIC vrk_foundation_core)
# The pluginkit target comes later (Tools/); generator expressions see it all the same.
target_compile_definitions(vrk_task PRIVATE
  VRK_PLUGINKIT_BUILT="$<$<TARGET_EXISTS:pluginkit>:$<TARGET_FILE:pluginkit>>"
  VRK_PLUGINKIT_INSTALLED="${VRK_PLUGINKIT_INSTALLED}")
set(VRK_FOUNDATION_PARTS ${VRK_FOUNDATION_PARTS} vrk_task)

vrk_test(NAME task_test SOURCES ${_dir}/NSTask_test.cc LIBS vrk_task)
target_compile_definitions(task_test PRIVATE
  VRK_PLUGINKIT_BUILT="$<$<TARGET_EXISTS:pluginkit>:$<TARGET_FILE:pluginkit>>")
