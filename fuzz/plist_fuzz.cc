// Feeds arbitrary bytes to the XML property-list reader (Info.plist, XML string tables).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Platform/Foundation/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  std::string error;
  auto plist = vrk::ParsePropertyList(bytes, &error);
  if (!plist && error.empty()) std::abort();  // a rejection always says why
  if (plist) (void)plist->description();
  return 0;
}
