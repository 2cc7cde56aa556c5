# What a C++ sync client builds against: the facade's headers (with the ones they include) and
# a pkg-config file. The .pc is written when installing, because only then is the prefix known.
if(NOT TARGET VRKFinderSync)
  return()
endif()
vrk_install_headers(VRKFinderSync/VRKFinderSync.h VRKFinderSync/VRKMenuItemInfo.h
                    VRKFinderSync/VRKFinderSyncMachBridgeClientSide.h)

set(pc_template ${CMAKE_CURRENT_LIST_DIR}/vrkfindersync.pc.in)
set(pc_file ${CMAKE_CURRENT_BINARY_DIR}/vrkfindersync.pc)
install(CODE "
  set(PROJECT_VERSION ${PROJECT_VERSION})
  set(VRK_PC_LIBDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}\")
  set(VRK_PC_INCLUDEDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_INCLUDEDIR}\")
  configure_file(\"${pc_template}\" \"${pc_file}\" @ONLY)")
install(FILES ${pc_file} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
