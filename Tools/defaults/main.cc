// vrk-defaults: reads and writes settings suites from the command line, as the platform's
// `defaults` does. Values cross as JSON, the store's own form of them.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Foundation/NSUserDefaults.h"

namespace {

constexpr char kUsage[] =
    "usage: vrk-defaults read SUITE [KEY]\n"
    "       vrk-defaults write SUITE KEY JSON\n"
    "       vrk-defaults delete SUITE [KEY]\n"
    "Suites live under $VRK_ROOT/home/Library/Group Containers/SUITE/Library/Preferences.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "vrk-defaults: %s\n", message.c_str());
  return 1;
}

int Synchronize(vrk::NSUserDefaults& defaults, std::string_view suite) {
  if (defaults.synchronize()) return 0;
  return Fail("cannot write suite " + std::string(suite));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string_view command = argv[1];
  const std::string_view suite = argv[2];
  const bool hasKey = argc >= 4;
  const std::string_view key = hasKey ? argv[3] : "";
  if (!((command == "read" && argc <= 4) || (command == "write" && argc == 5) ||
        (command == "delete" && argc <= 4))) {
    return Usage();
  }
  auto defaults = vrk::NSUserDefaults::initWithSuiteName(suite);
  if (!defaults) return Fail("cannot open suite " + std::string(suite));

  if (command == "read" && !hasKey) {
    // "{}" means that the suite opened and is empty, never that it could not be read.
    std::string error;
    std::optional<vrk::ObjectDictionary> all = defaults->readDictionaryRepresentation(error);
    if (!all) return Fail("cannot read suite " + std::string(suite) + ": " + error);
    std::fputs(vrk::SerializeSettings(*all).c_str(), stdout);
    return 0;
  }
  if (command == "read") {
    if (std::optional<std::string> error = defaults->storeError()) {
      return Fail("cannot read suite " + std::string(suite) + ": " + *error);
    }
    const vrk::Object value = defaults->objectForKey(key);
    if (value.isNil()) {
      return Fail("the key " + std::string(key) + " does not exist in suite " + std::string(suite));
    }
    // A value read from the store always encodes; the fallback only guards the output.
    std::string text = vrk::EncodeSettingsValue(value, vrk::kKeyValueDepth).value_or("null");
    std::printf("%s\n", text.c_str());
    return 0;
  }
  if (command == "write") {
    std::optional<vrk::Object> value =
        vrk::ParseSettingsValue(argv[4], vrk::kKeyValueDepth, "the value to write");
    if (!value || !vrk::IsStorableSettingsValue(*value)) {
      return Fail("the value is not JSON that a suite can hold");
    }
    defaults->setObject(*value, key);
    return Synchronize(*defaults, suite);
  }
  if (hasKey) {
    defaults->removeObjectForKey(key);
  } else {
    for (const auto& [name, value] : defaults->dictionaryRepresentation()) {
      defaults->removeObjectForKey(name);
    }
  }
  return Synchronize(*defaults, suite);
}
