# Where `cmake --install` (and the Debian package, which is made from it) puts each piece.
# Paths follow the Filesystem Hierarchy Standard as Debian lays it out:
#   bin/                                 vrk-finder and the other tools a person runs
#   libexec/vrkfindersync/               tools only the system runs (pluginkit)
#   <libdir>/libVRKFinderSync.so.N       the library, with its SONAME
#   <libdir>/vrkfindersync/Sync.app      the sync client's bundle, extension inside
#   <python dir>/vrkfindersync.*.so      the binding module and its .pyi stub
#   include/vrkfindersync/               the headers a C++ client needs, pkgconfig/ beside libdir
#
# Other parts add their files with the functions below; none of them needs to know the layout.
include(GNUInstallDirs)

# The bundle's place relative to the library's folder. The Python module looks for it there
# when VRK_MAIN_BUNDLE is unset (Python/CMakeLists.txt passes this down), so both ends share
# this one definition.
set(VRK_INSTALL_SYNC_APP_FROM_LIBDIR vrkfindersync/Sync.app)
set(VRK_INSTALL_SYNC_APP ${CMAKE_INSTALL_LIBDIR}/${VRK_INSTALL_SYNC_APP_FROM_LIBDIR})

# Tools that only the system runs (the emulated root links to them) live in the package's own
# libexec folder. Code that looks for them does so relative to the library's folder, through
# this path, so it holds under any prefix.
file(RELATIVE_PATH VRK_INSTALL_LIBEXEC_FROM_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR}
     ${CMAKE_INSTALL_FULL_LIBEXECDIR}/vrkfindersync)

# vrk_install_private_tool(target ...)
# Programs the system runs itself, never a person: into libexec/vrkfindersync/.
function(vrk_install_private_tool)
  install(TARGETS ${ARGN} RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/vrkfindersync)
endfunction()

# vrk_install_tool(target ...)
# Programs a person or the emulated system runs by name, installed into bin/.
function(vrk_install_tool)
  install(TARGETS ${ARGN} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# vrk_install_man(page.N ...)
# Manual pages (paths relative to the calling list file's folder), compressed as Debian wants
# (gzip -9n, so the package is reproducible) into share/man/manN/.
function(vrk_install_man)
  foreach(page ${ARGN})
    get_filename_component(source ${page} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_LIST_DIR})
    get_filename_component(name ${page} NAME)
    string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${name})
    set(out ${CMAKE_BINARY_DIR}/man/${name}.gz)
    add_custom_command(OUTPUT ${out} COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                       COMMAND gzip -9nc ${source} > ${out} DEPENDS ${source})
    add_custom_target(man_${name} ALL DEPENDS ${out})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
endfunction()

# vrk_install_in_sync_app(SUBDIR Contents/... TARGETS target ...)
# Programs and loadable modules that live inside Sync.app (the extension, the helper the client
# installs from its bundle, the legacy Finder bundle). Their build-tree copies inside
# ${VRK_SYNC_APP} are left out of the tree copy, so that the installed ones are the stripped,
# install-time versions.
function(vrk_install_in_sync_app)
  cmake_parse_arguments(I "" "SUBDIR" "TARGETS" ${ARGN})
  install(TARGETS ${I_TARGETS} RUNTIME DESTINATION ${VRK_INSTALL_SYNC_APP}/${I_SUBDIR}
                               LIBRARY DESTINATION ${VRK_INSTALL_SYNC_APP}/${I_SUBDIR})
  foreach(target ${I_TARGETS})
    get_target_property(type ${target} TYPE)
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
      set(name ${target})
    endif()
    if(type STREQUAL "MODULE_LIBRARY")
      get_target_property(prefix ${target} PREFIX)
      get_target_property(suffix ${target} SUFFIX)
      if(prefix STREQUAL "prefix-NOTFOUND")
        set(prefix ${CMAKE_SHARED_MODULE_PREFIX})
      endif()
      if(suffix STREQUAL "suffix-NOTFOUND")
        set(suffix ${CMAKE_SHARED_MODULE_SUFFIX})
      endif()
      set(name ${prefix}${name}${suffix})
    endif()
    set_property(GLOBAL APPEND PROPERTY VRK_SYNC_APP_PROGRAMS ${name})
  endforeach()
endfunction()

# vrk_install_headers(header ...)
# Public headers (paths relative to the source root) and every header of the tree that they
# include in turn, installed under include/vrkfindersync/ with their folders, so that a C++
# client's #include "VRKFinderSync/VRKFinderSync.h" works as it does in the tree.
function(vrk_install_headers)
  set(todo ${ARGN})
  set(seen)
  while(todo)
    list(POP_FRONT todo header)
    if(header IN_LIST seen OR NOT EXISTS ${PROJECT_SOURCE_DIR}/${header})
      continue()
    endif()
    list(APPEND seen ${header})
    file(STRINGS ${PROJECT_SOURCE_DIR}/${header} lines REGEX "^#include \"")
    foreach(line ${lines})
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
      list(APPEND todo ${included})
    endforeach()
  endwhile()
  foreach(header ${seen})
    get_filename_component(dir ${header} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/${header}
            DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vrkfindersync/${dir})
  endforeach()
endfunction()

# The Sync.app tree as the build assembles it, without the programs that are installed on their
# own. Deferred to the end of configuration, so that every part has registered its programs.
function(vrk_install_sync_app_tree)
  get_property(programs GLOBAL PROPERTY VRK_SYNC_APP_PROGRAMS)
  set(excludes)
  foreach(name ${programs})
    list(APPEND excludes PATTERN ${name} EXCLUDE)
  endforeach()
  install(DIRECTORY ${VRK_SYNC_APP} DESTINATION ${CMAKE_INSTALL_LIBDIR}/vrkfindersync
          USE_SOURCE_PERMISSIONS ${excludes})
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL vrk_install_sync_app_tree)
