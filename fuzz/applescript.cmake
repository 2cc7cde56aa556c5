# The AppleScript compiler of NSAppleScript.
vrk_fuzz(NAME applescript SOURCE ${CMAKE_CURRENT_LIST_DIR}/applescript_fuzz.cc
         LIBS vrk_applescript CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/applescript)
