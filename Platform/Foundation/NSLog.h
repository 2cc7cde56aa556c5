// NSLog: the platform log.
//
// Contract:
// - NSLog(format, args...) writes one line per call to standard error, in the form
//   "YYYY-mm-dd HH:MM:SS.mmm process[pid:tid] message", with a single write so that lines of
//   several threads never interleave. When the journal's socket exists the message also goes
//   to the journal; without journald nothing is lost from standard error.
// - The system's format strings are used as they stand: %@ prints an Object's description (a
//   string as itself, a number in decimal, nil as "(null)"), and any other argument as its own
//   text; %s a string ("(null)" for nil); %d, %i, %u, %ld, %lu, %lld, %llu, %zu an integer, %x and
//   %o one in hexadecimal or octal; %p an address; %% a percent sign. A conversion without an
//   argument prints as written.
// - Safe to call from any thread. It never throws and never fails the caller.
// - LogCapture: while an instance lives, every message (the text after the header) is also
//   recorded in it, so a test can assert exact lines. Captures may nest and may be created on
//   any thread; each sees the messages logged while it exists.
// - LogSilence: while an instance lives, nothing is written to standard error or the journal
//   (captures still record every message). For fuzz harnesses, whose every input may log a line.
#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "Platform/Foundation/Object.h"

namespace vrk {

// Anything that has a description() member prints with %@ as that description.
template <typename T>
concept Describable = requires(const T& t) {
  { t.description() } -> std::convertible_to<std::string>;
};

// One argument of NSLog, turned into its text when the call is made.
class LogArg {
 public:
  LogArg(const Object& o) : text_(o.description()), nil_(o.isNil()) {}
  LogArg(const std::optional<std::string>& s) : text_(s ? *s : "(null)"), nil_(!s) {}
  LogArg(const std::string& s) : text_(s) {}
  LogArg(std::string_view s) : text_(s) {}
  LogArg(const char* s) : text_(s ? s : "(null)"), nil_(!s) {}
  LogArg(bool b) : text_(b ? "1" : "0"), integer_(b ? 1 : 0) {}
  template <std::integral T>
  LogArg(T v) : text_(std::to_string(v)), integer_(static_cast<std::int64_t>(v)) {}
  LogArg(const void* p);
  template <Describable T>
  LogArg(const T& t) : text_(t.description()) {}
  template <Describable T>
  LogArg(const std::shared_ptr<T>& t)
      : text_(t ? std::string(t->description()) : "(null)"), nil_(!t) {}

  const std::string& text() const { return text_; }
  std::optional<std::int64_t> integer() const { return integer_; }

 private:
  std::string text_;
  std::optional<std::int64_t> integer_;
  bool nil_ = false;
};

// Formats the message as NSLog would, without the header. Exposed for tests.
std::string FormatLogMessage(std::string_view format, std::initializer_list<LogArg> args);

void NSLogv(std::string_view format, std::initializer_list<LogArg> args);

// Foreign text (a requested path, a name from a peer) made safe to put in a log line, so that it
// can neither end the line nor forge one nor drive the terminal that shows the log. A newline,
// carriage return and tab become \n, \r and \t; a backslash becomes \\ so that every escape
// reads back one way; other C0 control bytes, DEL and each byte that is not part of valid UTF-8
// become \xHH; the C1 controls and the Unicode line and paragraph separators become \uHHHH.
// Printable UTF-8 passes unchanged. At most `limit` bytes of `text` are shown; "..." follows
// when it was cut (a sequence cut there shows as \xHH bytes). Pure; any thread.
std::string EscapedForLog(std::string_view text, std::size_t limit = std::string_view::npos);

template <typename... Args>
void NSLog(std::string_view format, const Args&... args) {
  NSLogv(format, {LogArg(args)...});
}

// Keeps a flood of one kind of event (dropped datagrams, refused notifications) from writing a
// line per event: the first event of a burst is reported at once, and the ones that follow
// within `interval` are counted and reported together with the first event after it. Safe to
// share between threads.
class LogThrottle {
 public:
  explicit LogThrottle(std::chrono::milliseconds interval) : interval_(interval) {}
  // Counts one event. Returns how many events the caller should report now (this one and those
  // held back since the last report), or 0 when the line is held back.
  std::uint64_t note();
  // Ends a burst without waiting for another event: once `interval` has passed since the last
  // report, returns how many events were held back since then (and counts them as reported);
  // 0 when none are held or it is too early. Meant to be called now and then by a loop.
  std::uint64_t drain();

 private:
  const std::chrono::milliseconds interval_;
  std::mutex mutex_;
  std::optional<std::chrono::steady_clock::time_point> lastReport_;
  std::uint64_t held_ = 0;
};

class LogSilence {
 public:
  LogSilence();
  ~LogSilence();
  LogSilence(const LogSilence&) = delete;
  LogSilence& operator=(const LogSilence&) = delete;
};

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  // Number of captured lines equal to `line`.
  std::size_t count(std::string_view line) const;
  bool contains(std::string_view line) const { return count(line) > 0; }
  // Number of captured lines that contain `part`.
  std::size_t countContaining(std::string_view part) const;
  // Index of the first line equal to `line` at or after `from`, or -1.
  long indexOf(std::string_view line, std::size_t from = 0) const;
  void clear();

  // Called by the log for every message; not for use by others.
  void record(const std::string& message);

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace vrk
