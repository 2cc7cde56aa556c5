// vrk-finder's input: one command per line on standard input, each a JSON array.
//
//   ["show", DIR]                    ["badges"]
//   ["wait-badge", PATH, ID, MS]     ["menu", KIND, PATH, ...]
//   ["click", INDEX]                 ["state"]            ["quit"]
//   ["rescan"]                       (ask the plug-in registry again)
//
// Decoding is kept apart from the I/O so that it can be tested and fuzzed alone: LineBuffer
// cuts a byte stream into lines (refusing overlong ones), ParseCommand decodes one line. Both
// are pure; nothing here throws.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vrk::finder {

struct ShowCommand {
  std::string dir;
};
struct BadgesCommand {};
struct WaitBadgeCommand {
  std::string path;
  std::string identifier;
  std::int64_t milliseconds = 0;
};
struct MenuCommand {
  std::int64_t kind = 0;
  std::vector<std::string> paths;
};
struct ClickCommand {
  std::int64_t index = 0;
};
struct StateCommand {};
struct QuitCommand {};
struct RescanCommand {};

using Command = std::variant<ShowCommand, BadgesCommand, WaitBadgeCommand, MenuCommand,
                             ClickCommand, StateCommand, QuitCommand, RescanCommand>;

// The longest wait a wait-badge command may ask for.
inline constexpr std::int64_t kMaxWaitMilliseconds = 3'600'000;
// The longest line read; a longer one is refused as a whole.
inline constexpr std::size_t kMaxLineBytes = 1 << 20;

// The command on one line (without its newline). nullopt with `error` set for a line that cannot
// be read, nullopt with `error` empty for a blank line.
std::optional<Command> ParseCommand(std::string_view line, std::string* error);

// Cuts input into lines. A line longer than kMaxLineBytes is dropped up to its newline and
// stands in the output as one overlong marker, so that its refusal keeps its place in order.
class LineBuffer {
 public:
  struct Line {
    std::string text;
    bool overlong = false;
  };
  void append(std::span<const char> bytes);
  // At the end of input a last line without newline still counts.
  void finish();
  std::optional<Line> next();
  bool empty() const { return lines_.empty(); }

 private:
  std::string partial_;
  bool discarding_ = false;
  std::deque<Line> lines_;
};

// The next command waiting in `lines`, or nullopt when no whole line is left. A line that is no
// command (too long, unreadable) is skipped after `refuse` was called with the reason.
std::optional<Command> NextCommand(LineBuffer& lines,
                                   const std::function<void(const std::string&)>& refuse);

}  // namespace vrk::finder
