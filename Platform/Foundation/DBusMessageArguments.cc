#include "Platform/Foundation/DBusMessageArguments.h"

#include <cerrno>
#include <string_view>
#include <utility>

namespace vrk::dbus {

int AppendMessageArguments(sd_bus_message* m, std::span<const Object> arguments, std::string* why) {
  Writer writer(m);
  if (arguments.size() > kMaxMessageArguments) writer.fail(-E2BIG, "too many arguments");
  for (const Object& argument : arguments) {
    if (writer.error() != 0) break;
    if (!writer.open('a', "v", 0)) break;
    if (!argument.isNil() && !writer.variant(argument, 1)) break;
    writer.close();
  }
  if (writer.error() != 0 && why != nullptr) *why = writer.why();
  return writer.error();
}

std::optional<std::size_t> WeighMessageArguments(sd_bus_message* m) {
  if (sd_bus_message_rewind(m, 1) < 0) return std::nullopt;
  const char* signature = sd_bus_message_get_signature(m, 1);
  const std::string_view sig(signature ? signature : "");
  if (sig.size() % 2 != 0 || sig.size() / 2 > kMaxMessageArguments) return std::nullopt;
  Weigher weigher(m);
  bool read = true;
  for (std::size_t i = 0; read && i < sig.size(); i += 2) {
    read = sig.substr(i, 2) == "av" && weigher.argument("av");
  }
  sd_bus_message_rewind(m, 1);
  if (!read) return std::nullopt;
  return weigher.total();
}

std::optional<std::vector<Object>> ReadMessageArguments(sd_bus_message* m, std::string* why) {
  Reader reader(m);
  auto failed = [&]() -> std::optional<std::vector<Object>> {
    if (why != nullptr) *why = reader.why().empty() ? "unreadable" : reader.why();
    return std::nullopt;
  };
  if (!reader.check(sd_bus_message_rewind(m, 1))) return failed();
  const char* signature = sd_bus_message_get_signature(m, 1);
  std::string_view sig(signature ? signature : "");
  if (sig.size() % 2 != 0 || sig.size() / 2 > kMaxMessageArguments) {
    reader.fail("signature is '" + std::string(sig) + "'");
    return failed();
  }
  for (std::size_t i = 0; i < sig.size(); i += 2) {
    if (sig.substr(i, 2) != "av") {
      reader.fail("signature is '" + std::string(sig) + "'");
      return failed();
    }
  }
  std::vector<Object> arguments;
  for (std::size_t i = 0; i < sig.size() / 2; ++i) {
    std::optional<Object> argument = ReadOptional(reader, m, "v", "an argument", 0, [&](auto& out) {
      return reader.variant(1, "an argument", out);
    });
    if (!argument) return failed();
    arguments.push_back(std::move(*argument));
  }
  return arguments;
}

}  // namespace vrk::dbus
