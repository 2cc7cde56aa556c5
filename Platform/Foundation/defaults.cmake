# NSUserDefaults suites on JSON files.
add_library(vrk_defaults STATIC NSUserDefaults.cc DefaultsCodec.cc DefaultsFile.cc)
target_link_libraries(vrk_defaults PUBLIC vrk_foundation_core PRIVATE nlohmann_json::nlohmann_json)
set(VRK_FOUNDATION_PARTS ${VRK_FOUNDATION_PARTS} vrk_defaults)

# The file and cross-process tests re-run their own binary as helper processes; the threaded
# test is separate so that the thread-sanitizer tree runs only that one.
vrk_test(NAME defaults_test SOURCES NSUserDefaults_test.cc LIBS vrk_defaults)
vrk_test(NAME defaults_threads_test SOURCES NSUserDefaults_threads_test.cc LIBS vrk_defaults
         LABELS threads)
