// Feeds arbitrary bytes to the settings-file reader. Whatever it accepts must survive a write
// and a second read unchanged, number kinds included: that is what a suite relies on when it
// merges another writer's file into its own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Platform/Foundation/NSUserDefaults.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto bytes = std::as_bytes(std::span(data, size));
  std::optional<vrk::ObjectDictionary> parsed = vrk::ParseSettingsFile(bytes, "fuzz input");
  if (!parsed) return 0;
  std::string text = vrk::SerializeSettings(*parsed);
  std::optional<vrk::ObjectDictionary> again =
      vrk::ParseSettingsFile(std::as_bytes(std::span(text)), "fuzz output");
  if (!again || *again != *parsed || vrk::SerializeSettings(*again) != text) std::abort();
  return 0;
}
