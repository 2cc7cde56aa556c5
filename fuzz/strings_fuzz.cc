// Feeds arbitrary bytes to the string-table parser. Every table it accepts must hold only
// well-formed UTF-8, since lookups hand its strings on as NSStrings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Platform/Foundation/Object.h"
#include "Platform/Foundation/StringsFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  std::string error;
  auto table = vrk::ParseStrings(bytes, &error);
  if (!table) {
    if (error.empty()) std::abort();  // a rejection always says why
    return 0;
  }
  for (const auto& [key, value] : *table) {
    if (!vrk::IsValidUTF8(key) || !vrk::IsValidUTF8(value)) std::abort();
  }
  return 0;
}
