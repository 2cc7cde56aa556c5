# vrk-finder's command lines and the host protocol's URL text.
vrk_fuzz(NAME finder SOURCE ${CMAKE_CURRENT_LIST_DIR}/finder_fuzz.cc
         LIBS vrk_finder_host vrk_findersync
         CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/finder)
