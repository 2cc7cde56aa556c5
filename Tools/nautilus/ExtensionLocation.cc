#include "Tools/nautilus/ExtensionLocation.h"

#include <cstdlib>
#include <fstream>

#include "Platform/Foundation/EmulatedRoot.h"

namespace vrk::nautilus {

std::filesystem::path ExtensionLocationFile() {
  return emulated::Resolve("/etc/vrk-nautilus/extension");
}

std::optional<std::string> ConfiguredExtension(std::string* why) {
  if (const char* value = std::getenv(kExtensionEnv); value && *value) return std::string(value);
  const std::filesystem::path file = ExtensionLocationFile();
  std::ifstream in(file);
  std::string line;
  if (in && std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) return line;
  }
  *why = std::string("no extension configured (") + kExtensionEnv + " or " + file.string() + ")";
  return std::nullopt;
}

}  // namespace vrk::nautilus
