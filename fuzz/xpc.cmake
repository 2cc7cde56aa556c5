# XPC frames as the privileged helper reads them.
if(TARGET vrk_xpcwire)
  vrk_fuzz(NAME xpc_frame SOURCE ${CMAKE_CURRENT_LIST_DIR}/xpc_frame_fuzz.cc LIBS vrk_xpcwire
           CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/xpc_frame)
endif()
