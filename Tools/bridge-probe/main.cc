// vrk-bridge-probe: plays the extension's end of the message port for tests and the demo,
// with the extension's own bridge code, and prints one JSON object.
//
//   vrk-bridge-probe send COMMAND PATH   one one-way request          -> {"sent": true}
//   vrk-bridge-probe lock PATH           the lock question (command 6) -> {"reply": [l, u, f] or
//                                        null, "menuItems": the stored list read right after}
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "Contract/VRKContract.h"
#include "Platform/Foundation/NSUserDefaults.h"
#include "VRKFinderSyncExtension/VRKFinderSyncMachBridgeExtensionSide.h"

namespace {

nlohmann::json ToJson(const vrk::Object& value) {
  using Kind = vrk::Object::Kind;
  switch (value.kind()) {
    case Kind::String:
      return *value.string();
    case Kind::Number:
      if (value.numberType() == vrk::Object::NumberType::Bool) return value.boolValue();
      return value.integerValue();
    case Kind::Array: {
      nlohmann::json list = nlohmann::json::array();
      for (const auto& item : *value.array()) list.push_back(ToJson(item));
      return list;
    }
    case Kind::Dictionary: {
      nlohmann::json dict = nlohmann::json::object();
      for (const auto& [key, item] : *value.dictionary()) dict[key] = ToJson(item);
      return dict;
    }
    default:
      return nullptr;
  }
}

int Usage() {
  std::fprintf(stderr, "usage: vrk-bridge-probe send COMMAND PATH | lock PATH\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string verb = argv[1];
  vrk::VRKFinderSyncMachBridgeExtensionSide bridge{std::weak_ptr<vrk::FinderSync>()};
  nlohmann::json out;
  if (verb == "send" && argc == 4) {
    bridge.sendMachMsg(std::strtol(argv[2], nullptr, 10), argv[3]);
    out["sent"] = true;
  } else if (verb == "lock" && argc == 3) {
    auto answer = bridge.requestLockableWhenSelectItemAtPath(argv[2]);
    out["reply"] = answer ? nlohmann::json{answer[0], answer[1], answer[2]} : nlohmann::json();
    auto store = vrk::NSUserDefaults::initWithSuiteName(vrk::kVRKSharedSuiteName);
    out["menuItems"] = store ? ToJson(store->objectForKey(vrk::kVRKMenuItemsKey)) : nullptr;
  } else {
    return Usage();
  }
  std::printf("%s\n", out.dump().c_str());
  return 0;
}
