# The string-table (.strings) parser and the XML property-list reader of NSBundle.
vrk_fuzz(NAME strings SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/strings_fuzz.cc LIBS vrk_bundle
         CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/strings)
vrk_fuzz(NAME plist SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/plist_fuzz.cc LIBS vrk_bundle
         CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/plist)
