// Feeds arbitrary bytes to the plug-in registry's parser. A registry it accepts must list only
// absolute paths and must survive being written and read again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Tools/pluginkit/PluginRegistry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  std::string error;
  auto registry = vrk::pluginkit::ParseRegistry(bytes, &error);
  if (!registry) {
    if (error.empty()) std::abort();  // a rejection always says why
    return 0;
  }
  for (const auto& r : registry->plugins) {
    if (r.path.empty() || r.path.front() != '/') std::abort();
  }
  std::string again = vrk::pluginkit::SerializeRegistry(*registry);
  auto back = vrk::pluginkit::ParseRegistry(std::as_bytes(std::span(again)), &error);
  if (!back || back->plugins != registry->plugins) std::abort();
  (void)vrk::pluginkit::FormatListing(vrk::pluginkit::Matches(*registry, {}), true);
  return 0;
}
