#include "Platform/Foundation/NSLog.h"

#include <errno.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <utility>

namespace vrk {

namespace {

std::mutex& SinkMutex() {
  static std::mutex m;
  return m;
}

std::vector<LogCapture*>& Sinks() {
  static std::vector<LogCapture*> sinks;
  return sinks;
}

// sd-journal drops messages silently when journald is not running, so we only send when
// its socket is there; standard error always gets the line.
bool JournalPresent() {
  static const bool present = [] {
    struct stat st;
    return ::stat("/run/systemd/journal/socket", &st) == 0 && S_ISSOCK(st.st_mode);
  }();
  return present;
}

void WriteAll(int fd, const std::string& s) {
  const char* p = s.data();
  std::size_t left = s.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

// The number of LogSilence instances alive.
std::atomic<int> g_silences{0};

// Bumped in a child after fork, where the process id and the calling thread's id are new.
std::atomic<unsigned> g_forkGeneration{1};

// What the header of a line needs from the kernel, kept per thread: a busy thread logs a line per
// message it serves, and the ids and the date to the second do not change between them.
struct HeaderCache {
  unsigned generation = 0;
  int pid = 0;
  long tid = 0;
  time_t second = -1;
  char stamp[32] = {};
};

std::string Header() {
  static const bool forkHandled = [] {
    return ::pthread_atfork(nullptr, nullptr, [] { ++g_forkGeneration; }) == 0;
  }();
  thread_local HeaderCache cache;
  const unsigned generation = g_forkGeneration.load(std::memory_order_relaxed);
  if (!forkHandled || cache.generation != generation) {
    cache.generation = generation;
    cache.pid = static_cast<int>(::getpid());
    cache.tid = static_cast<long>(::syscall(SYS_gettid));
  }
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  if (tv.tv_sec != cache.second) {
    struct tm tm;
    ::localtime_r(&tv.tv_sec, &tm);
    std::strftime(cache.stamp, sizeof cache.stamp, "%Y-%m-%d %H:%M:%S", &tm);
    cache.second = tv.tv_sec;
  }
  char header[256];
  std::snprintf(header, sizeof header, "%s.%03ld %s[%d:%ld] ", cache.stamp,
                static_cast<long>(tv.tv_usec / 1000), program_invocation_short_name, cache.pid,
                cache.tid);
  return header;
}

}  // namespace

LogArg::LogArg(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  text_ = buf;
  nil_ = p == nullptr;
}

std::string FormatLogMessage(std::string_view format, std::initializer_list<LogArg> args) {
  std::string out;
  out.reserve(format.size() + 32);
  auto next = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      out += c;
      continue;
    }
    if (format[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // A conversion: %@, %s, %p, or an integer one with optional l, ll or z length.
    std::size_t j = i + 1;
    while (j < format.size() && (format[j] == 'l' || format[j] == 'z' || format[j] == 'h')) ++j;
    if (j >= format.size()) {
      out.append(format.substr(i));
      break;
    }
    char conv = format[j];
    bool known = conv == '@' || conv == 's' || conv == 'p' || conv == 'd' || conv == 'i' ||
                 conv == 'u' || conv == 'x' || conv == 'o';
    if (!known || next == args.end()) {
      out.append(format.substr(i, j - i + 1));
      i = j;
      continue;
    }
    const LogArg& arg = *next++;
    if ((conv == 'x' || conv == 'o') && arg.integer()) {
      char buf[32];
      std::snprintf(buf, sizeof buf, conv == 'x' ? "%llx" : "%llo",
                    static_cast<unsigned long long>(*arg.integer()));
      out += buf;
    } else if (conv == 'u' && arg.integer() && *arg.integer() < 0) {
      // %u of a negative int prints the unsigned 32-bit value, as printf does.
      out += std::to_string(static_cast<std::uint32_t>(*arg.integer()));
    } else {
      out += arg.text();
    }
    i = j;
  }
  return out;
}

namespace {

// The length of the valid UTF-8 sequence at the start of `s` and its code point, or 0 when the
// first byte does not begin one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t Utf8Sequence(std::string_view s, char32_t* cp) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  std::size_t n;
  char32_t min;
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    n = 2, min = 0x80, *cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3, min = 0x800, *cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4, min = 0x10000, *cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (s.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if ((b & 0xC0) != 0x80) return 0;
    *cp = (*cp << 6) | (b & 0x3F);
  }
  if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

std::string EscapedForLog(std::string_view text, std::size_t limit) {
  const bool cut = text.size() > limit;
  if (cut) text = text.substr(0, limit);
  std::string out;
  out.reserve(text.size() + (cut ? 3 : 0));
  char buf[8];
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t n = Utf8Sequence(text.substr(i), &cp);
    if (n == 0 || cp < 0x20 || cp == 0x7F) {
      const auto byte = static_cast<unsigned char>(text[i]);
      if (n != 0 && byte == '\n') {
        out += "\\n";
      } else if (n != 0 && byte == '\r') {
        out += "\\r";
      } else if (n != 0 && byte == '\t') {
        out += "\\t";
      } else {
        std::snprintf(buf, sizeof buf, "\\x%02x", byte);
        out += buf;
      }
      ++i;
      continue;
    }
    if ((cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
      out += buf;
    } else if (cp == '\\') {
      out += "\\\\";
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  if (cut) out += "...";
  return out;
}

std::uint64_t LogThrottle::note() {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  ++held_;
  if (lastReport_ && now - *lastReport_ < interval_) return 0;
  lastReport_ = now;
  return std::exchange(held_, 0);
}

std::uint64_t LogThrottle::drain() {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  if (held_ == 0 || (lastReport_ && now - *lastReport_ < interval_)) return 0;
  lastReport_ = now;
  return std::exchange(held_, 0);
}

void NSLogv(std::string_view format, std::initializer_list<LogArg> args) {
  std::string message = FormatLogMessage(format, args);
  {
    std::lock_guard<std::mutex> lock(SinkMutex());
    for (LogCapture* sink : Sinks()) sink->record(message);
  }
  if (g_silences.load(std::memory_order_relaxed) > 0) return;
  std::string line = Header();
  line += message;
  line += '\n';
  WriteAll(STDERR_FILENO, line);
  if (JournalPresent()) {
    sd_journal_send("MESSAGE=%s", message.c_str(), "SYSLOG_IDENTIFIER=%s",
                    program_invocation_short_name, nullptr);
  }
}

LogSilence::LogSilence() {
  g_silences.fetch_add(1, std::memory_order_relaxed);
}

LogSilence::~LogSilence() {
  g_silences.fetch_sub(1, std::memory_order_relaxed);
}

LogCapture::LogCapture() {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sinks().push_back(this);
}

LogCapture::~LogCapture() {
  std::lock_guard<std::mutex> lock(SinkMutex());
  auto& sinks = Sinks();
  sinks.erase(std::remove(sinks.begin(), sinks.end(), this), sinks.end());
}

void LogCapture::record(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(message);
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::size_t LogCapture::count(std::string_view line) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), line));
}

std::size_t LogCapture::countContaining(std::string_view part) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const auto& l) {
    return l.find(part) != std::string::npos;
  }));
}

long LogCapture::indexOf(std::string_view line, std::size_t from) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = from; i < lines_.size(); ++i) {
    if (lines_[i] == line) return static_cast<long>(i);
  }
  return -1;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

}  // namespace vrk
