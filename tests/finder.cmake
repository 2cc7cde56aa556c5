# vrk-finder driven through its standard input and output, with a tiny test extension in a
# bundle folder of its own.
set(_appex ${CMAKE_CURRENT_BINARY_DIR}/FinderTestExtension.appex)
file(WRITE ${_appex}/Contents/Info.plist [=[<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>org.vrk.tests.finder-extension</string>
	<key>CFBundleExecutable</key>
	<string>finder_test_extension</string>
	<key>NSExtension</key>
	<dict>
		<key>NSExtensionPointIdentifier</key>
		<string>com.apple.FinderSync</string>
		<key>NSExtensionPrincipalClass</key>
		<string>FinderSync</string>
	</dict>
</dict>
</plist>
]=])
file(WRITE ${_appex}/Contents/Resources/locked.svg "<svg xmlns=\"http://www.w3.org/2000/svg\"/>\n")

add_executable(finder_test_extension ${CMAKE_CURRENT_LIST_DIR}/finder_test_extension.cc)
target_link_libraries(finder_test_extension PRIVATE vrk_nsextension_main vrk_findersync)
set_target_properties(finder_test_extension PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${_appex}/Contents/MacOS)

vrk_test(NAME finder_host_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/finder_host_test.cc
         LIBS nlohmann_json::nlohmann_json PkgConfig::SYSTEMD)
target_compile_definitions(finder_host_test PRIVATE
  VRK_FINDER_PROGRAM="$<TARGET_FILE:vrk-finder>" VRK_TEST_APPEX="${_appex}")
add_dependencies(finder_host_test vrk-finder finder_test_extension)
if(TARGET VRKFinderPlugin)
  add_dependencies(finder_host_test VRKFinderPlugin)
endif()
