# NSUserDefaults suites on SQLite databases.
add_library(vrk_defaults STATIC NSUserDefaults.cc DefaultsCodec.cc DefaultsDatabase.cc
                                DefaultsFile.cc)
target_link_libraries(vrk_defaults PUBLIC vrk_foundation_core PRIVATE SQLite::SQLite3
                                                                      nlohmann_json::nlohmann_json)
set(VRK_FOUNDATION_PARTS ${VRK_FOUNDATION_PARTS} vrk_defaults)

# The store and cross-process tests re-run their own binary as helper processes; the threaded
# test is separate so that the thread-sanitizer tree runs only that one.
vrk_test(NAME defaults_test SOURCES NSUserDefaults_test.cc DefaultsDatabase_test.cc LIBS vrk_defaults
         SQLite::SQLite3)
vrk_test(NAME defaults_threads_test SOURCES NSUserDefaults_threads_test.cc LIBS vrk_defaults
         LABELS threads)
vrk_test(NAME defaults_checkpoint_test SOURCES DefaultsDatabase_threads_test.cc
         LIBS vrk_defaults SQLite::SQLite3 LABELS threads)
