// vrk-finder's input (lines of JSON commands) and the URL text that crosses the host protocol:
// whatever the bytes, decoding ends in a command, a refusal or nothing, never in a crash or a
// read past the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Platform/FinderSync/HostProtocol.h"
#include "Platform/Foundation/NSURL.h"
#include "Tools/finder/FinderCommand.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A command line or a URL longer than this holds nothing that a shorter one would not reach;
  // past it the fuzzer would spend its time in JSON and percent decoding of long texts.
  constexpr std::size_t kMaxInput = 1024;
  const std::string_view bytes(reinterpret_cast<const char*>(data), std::min(size, kMaxInput));

  vrk::finder::LineBuffer lines;
  lines.append(std::span<const char>(bytes.data(), bytes.size()));
  lines.finish();
  while (auto line = lines.next()) {
    std::string error;
    auto command = vrk::finder::ParseCommand(line->text, &error);
    if (command && !error.empty()) __builtin_trap();
  }

  if (auto url = vrk::findersync::DecodeFileURL(bytes)) {
    // A decoded file URL names an absolute path that encodes back to a URL of the same path.
    std::string path = url->path();
    if (path.empty() || path[0] != '/') __builtin_trap();
    auto again = vrk::NSURL::fileURLWithPath(path);
    if (!again || again->path() != path) __builtin_trap();
  }
  std::string wire = vrk::findersync::WireString(bytes);
  if (wire.size() > bytes.size() * 3) __builtin_trap();
  return 0;
}
