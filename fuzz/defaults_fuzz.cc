// Feeds arbitrary bytes to every reader of the settings store: the JSON of one stored value,
// the JSON of a whole suite (as an old suite file is imported), and a database image read
// whole. Whatever a reader accepts must survive a write and a second read
// unchanged, number kinds included; what the importer keeps must be storable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>

#include "Platform/Foundation/DefaultsDatabase.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSUserDefaults.h"

namespace {

void RoundTripSuite(const vrk::ObjectDictionary& parsed) {
  std::string text = vrk::SerializeSettings(parsed);
  std::optional<vrk::ObjectDictionary> again =
      vrk::ParseSettingsFile(std::as_bytes(std::span(text)), "fuzz output");
  if (!again || *again != parsed || vrk::SerializeSettings(*again) != text) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Every refused input logs a line; written out, they would cost more than the reading.
  static vrk::LogSilence silence;
  auto bytes = std::as_bytes(std::span(data, size));
  if (std::optional<vrk::ObjectDictionary> kept = vrk::ParseSettingsFile(bytes, "fuzz input")) {
    for (const auto& [key, value] : *kept) {
      if (!vrk::IsStorableSettingsValue(value)) std::abort();
    }
    RoundTripSuite(*kept);
  }
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (std::optional<vrk::Object> value =
          vrk::ParseSettingsValue(text, vrk::kKeyValueDepth, "fuzz input")) {
    std::optional<std::string> encoded = vrk::EncodeSettingsValue(*value, vrk::kKeyValueDepth);
    if (!encoded ||
        vrk::ParseSettingsValue(*encoded, vrk::kKeyValueDepth, "fuzz output") != value) {
      std::abort();
    }
  }
  // One in-memory connection reads every image, as opening one costs more than most reads.
  static std::unique_ptr<vrk::defaults::Database> db = vrk::defaults::Database::openImageHolder();
  if (db && db->loadImage(bytes)) {
    if (std::optional<vrk::ObjectDictionary> all = db->readAll()) RoundTripSuite(*all);
  }
  return 0;
}
