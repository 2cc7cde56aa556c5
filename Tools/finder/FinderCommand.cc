#include "Tools/finder/FinderCommand.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace vrk::finder {
namespace {

using nlohmann::json;

bool IsBlank(std::string_view line) {
  return std::all_of(line.begin(), line.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

std::optional<std::string> PathArgument(const json& value) {
  if (!value.is_string()) return std::nullopt;
  std::string path = value.get<std::string>();
  if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
  return path;
}

std::optional<std::int64_t> IntegerArgument(const json& value, std::int64_t low,
                                            std::int64_t high) {
  if (value.is_number_unsigned()) {
    auto v = value.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(high)) return std::nullopt;
    return static_cast<std::int64_t>(v);
  }
  if (!value.is_number_integer()) return std::nullopt;
  auto v = value.get<std::int64_t>();
  if (v < low || v > high) return std::nullopt;
  return v;
}

std::optional<Command> Fail(std::string* error, std::string message) {
  *error = std::move(message);
  return std::nullopt;
}

}  // namespace

std::optional<Command> ParseCommand(std::string_view line, std::string* error) {
  error->clear();
  if (IsBlank(line)) return std::nullopt;
  json input = json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
  if (input.is_discarded()) return Fail(error, "not JSON");
  if (!input.is_array() || input.empty() || !input[0].is_string()) {
    return Fail(error, "a command is an array that starts with its name");
  }
  const std::string name = input[0].get<std::string>();
  const std::size_t argc = input.size() - 1;
  auto usage = [&](const char* form) { return Fail(error, std::string("usage: ") + form); };

  if (name == "show") {
    if (argc != 1) return usage("[\"show\", DIR]");
    auto dir = PathArgument(input[1]);
    if (!dir) return usage("[\"show\", DIR]");
    return ShowCommand{std::move(*dir)};
  }
  if (name == "badges") {
    if (argc != 0) return usage("[\"badges\"]");
    return BadgesCommand{};
  }
  if (name == "wait-badge") {
    const char* form = "[\"wait-badge\", PATH, ID, MILLISECONDS]";
    if (argc != 3 || !input[2].is_string()) return usage(form);
    auto path = PathArgument(input[1]);
    auto ms = IntegerArgument(input[3], 0, kMaxWaitMilliseconds);
    if (!path || !ms) return usage(form);
    return WaitBadgeCommand{std::move(*path), input[2].get<std::string>(), *ms};
  }
  if (name == "menu") {
    const char* form = "[\"menu\", KIND 0-3, PATH, ...]";
    if (argc < 1) return usage(form);
    auto kind = IntegerArgument(input[1], 0, 3);
    if (!kind) return usage(form);
    MenuCommand command{*kind, {}};
    for (std::size_t i = 2; i < input.size(); ++i) {
      auto path = PathArgument(input[i]);
      if (!path) return usage(form);
      command.paths.push_back(std::move(*path));
    }
    return command;
  }
  if (name == "click") {
    if (argc != 1) return usage("[\"click\", INDEX]");
    auto index = IntegerArgument(input[1], 0, INT64_MAX);
    if (!index) return usage("[\"click\", INDEX]");
    return ClickCommand{*index};
  }
  if (name == "state") {
    if (argc != 0) return usage("[\"state\"]");
    return StateCommand{};
  }
  if (name == "quit") {
    if (argc != 0) return usage("[\"quit\"]");
    return QuitCommand{};
  }
  if (name == "rescan") {
    if (argc != 0) return usage("[\"rescan\"]");
    return RescanCommand{};
  }
  return Fail(error, "unknown command");
}

void LineBuffer::append(std::span<const char> bytes) {
  std::string_view rest(bytes.data(), bytes.size());
  while (!rest.empty()) {
    std::size_t newline = rest.find('\n');
    std::string_view piece = rest.substr(0, newline);
    if (!discarding_) {
      if (partial_.size() + piece.size() > kMaxLineBytes) {
        partial_.clear();
        discarding_ = true;
      } else {
        partial_.append(piece);
      }
    }
    if (newline == std::string_view::npos) return;
    if (discarding_) {
      lines_.push_back({{}, true});
      discarding_ = false;
    } else {
      lines_.push_back({std::move(partial_), false});
      partial_.clear();
    }
    rest.remove_prefix(newline + 1);
  }
}

void LineBuffer::finish() {
  if (discarding_) {
    lines_.push_back({{}, true});
  } else if (!partial_.empty()) {
    lines_.push_back({std::move(partial_), false});
  }
  partial_.clear();
  discarding_ = false;
}

std::optional<LineBuffer::Line> LineBuffer::next() {
  if (lines_.empty()) return std::nullopt;
  Line line = std::move(lines_.front());
  lines_.pop_front();
  return line;
}

std::optional<Command> NextCommand(LineBuffer& lines,
                                   const std::function<void(const std::string&)>& refuse) {
  while (std::optional<LineBuffer::Line> line = lines.next()) {
    if (line->overlong) {
      refuse("line too long");
      continue;
    }
    std::string error;
    std::optional<Command> command = ParseCommand(line->text, &error);
    if (command) return command;
    if (!error.empty()) refuse(error);
  }
  return std::nullopt;
}

}  // namespace vrk::finder
