#include "Platform/Foundation/NSUserDefaults.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <utility>

#include "Platform/Foundation/DefaultsFile.h"
#include "Platform/Foundation/EmulatedRoot.h"
#include "Platform/Foundation/NSLog.h"

namespace vrk {

namespace fs = std::filesystem;
using defaults::FileLock;
using defaults::FileStamp;

// Temp files of a writer that crashed are removed by the next writer (which holds the lock,
// so no live writer can own them) or, without the lock, once they are this old.
constexpr std::chrono::seconds kStrayTempAge{60};

struct NSUserDefaults::State {
  State(std::string name, fs::path dir)
      : suite(std::move(name)),
        folder(std::move(dir)),
        file(folder / (suite + ".json")),
        lockFile(folder / (suite + ".json.lock")),
        corruptFile(folder / (suite + ".json.corrupt")),
        tempPrefix("." + suite + ".json.tmp.") {}

  const std::string suite;
  const fs::path folder;
  const fs::path file;
  const fs::path lockFile;
  const fs::path corruptFile;
  const std::string tempPrefix;

  std::mutex mutex;
  // What the file held when last read or written, and the stamp of that version. Until the
  // first read `loaded` is false, so the first use always reads.
  ObjectDictionary disk;
  FileStamp stamp;
  bool loaded = false;
  // The last read failed, so `disk` may be stale: a writer must read again before merging.
  bool readFailed = false;
  // Sets, and removals as nil, since the last successful synchronize.
  ObjectDictionary pending;
  // The file was unparseable: the next synchronize writes a fresh one even with nothing
  // pending, so that the bad file does not linger.
  bool rewrite = false;
};

namespace {

bool ValidSuiteName(std::string_view name) {
  return !name.empty() && name != "." && name.find('/') == std::string_view::npos &&
         name.find("..") == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// Reads the file into state.disk. An unparseable file reads as empty and is renamed aside,
// under the writers' lock and only if it is still the version we read, so that a good file
// that a writer has just put in its place is never the one moved. `lockHeld` says whether
// the caller already holds that lock. False when the file could not be read at all.
bool LoadFile(NSUserDefaults::State& state, bool lockHeld) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::optional<defaults::FileContents> contents = defaults::ReadFile(state.file);
    state.loaded = true;
    state.readFailed = !contents;
    if (!contents) {
      // Logged once: readers keep the view they had until the file changes.
      if (std::optional<FileStamp> now = defaults::StatPath(state.file)) state.stamp = *now;
      return false;
    }
    if (!contents->stamp.exists) {
      state.disk.clear();
      state.stamp = contents->stamp;
      return true;
    }
    std::optional<ObjectDictionary> parsed;
    if (contents->regular) {
      parsed = ParseSettingsFile(std::as_bytes(std::span(contents->bytes)), state.file.string());
    } else {
      NSLog("[NSUserDefaults] cannot read %s: not a regular file", state.file.string());
    }
    if (parsed) {
      state.disk = std::move(*parsed);
      state.stamp = contents->stamp;
      return true;
    }
    state.disk.clear();
    state.rewrite = true;
    // Remembering the bad version's stamp keeps us from parsing it again on every read
    // when it cannot be moved.
    state.stamp = contents->stamp;
    std::optional<FileLock> lock;
    if (!lockHeld && !(lock = FileLock::acquire(state.lockFile))) return true;
    std::optional<FileStamp> now = defaults::StatPath(state.file);
    if (now && *now != contents->stamp) continue;  // replaced meanwhile: read the new one
    if (std::rename(state.file.c_str(), state.corruptFile.c_str()) != 0) {
      NSLog("[NSUserDefaults] cannot keep %s aside: %s", state.file.string(), std::strerror(errno));
      return true;
    }
    NSLog("[NSUserDefaults] %s cannot be parsed; it reads as empty and is kept aside as %s",
          state.file.string(), state.corruptFile.string());
    state.stamp = FileStamp{};
    return true;
  }
  return true;
}

// Reloads the file when it is not the version we last read: one stat when nothing changed.
void RefreshLocked(NSUserDefaults::State& state) {
  std::optional<FileStamp> now = defaults::StatPath(state.file);
  if (state.loaded && (!now || *now == state.stamp)) return;
  LoadFile(state, false);
}

}  // namespace

NSUserDefaults::NSUserDefaults(std::unique_ptr<State> state) : state_(std::move(state)) {}

NSUserDefaults::~NSUserDefaults() = default;

std::shared_ptr<NSUserDefaults> NSUserDefaults::initWithSuiteName(std::string_view suiteName) {
  if (!ValidSuiteName(suiteName)) {
    NSLog("[NSUserDefaults] refusing the suite name \"%s\"", suiteName);
    return nullptr;
  }
  std::string suite(suiteName);
  fs::path folder =
      emulated::Home() / "Library" / "Group Containers" / suite / "Library" / "Preferences";
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder, ec)) {
    NSLog("[NSUserDefaults] cannot create the folder of suite %s at %s: %s", suite, folder.string(),
          ec ? ec.message() : std::string("not a folder"));
    return nullptr;
  }
  auto state = std::make_unique<State>(std::move(suite), std::move(folder));
  defaults::RemoveStrayTempFiles(state->folder, state->tempPrefix, kStrayTempAge);
  return std::make_shared<NSUserDefaults>(std::move(state));
}

fs::path NSUserDefaults::filePath() const {
  return state_->file;
}

Object NSUserDefaults::objectForKey(std::string_view key) {
  std::lock_guard lock(state_->mutex);
  if (auto it = state_->pending.find(key); it != state_->pending.end()) return it->second;
  RefreshLocked(*state_);
  auto it = state_->disk.find(key);
  return it == state_->disk.end() ? Object() : it->second;
}

void NSUserDefaults::setObject(const Object& value, std::string_view key) {
  if (!IsValidUTF8(key)) {
    NSLog("[NSUserDefaults] ignored setObject:forKey: in suite %s: the key is not UTF-8",
          state_->suite);
    return;
  }
  if (!value.isNil() && !IsStorableSettingsValue(value)) {
    NSLog(
        "[NSUserDefaults] ignored setObject:forKey: %s in suite %s: the value holds data, a "
        "pointer, text that is not UTF-8 or nesting deeper than %d",
        key, state_->suite, kMaxSettingsDepth);
    return;
  }
  std::lock_guard lock(state_->mutex);
  state_->pending.insert_or_assign(std::string(key), value);
}

void NSUserDefaults::removeObjectForKey(std::string_view key) {
  setObject(Object(), key);
}

bool NSUserDefaults::synchronize() {
  State& s = *state_;
  std::lock_guard guard(s.mutex);
  if (s.pending.empty() && !s.rewrite) return true;

  // The folder may have been removed since we were created.
  std::error_code ec;
  fs::create_directories(s.folder, ec);
  std::optional<FileLock> lock = FileLock::acquire(s.lockFile);
  if (!lock) return false;
  defaults::RemoveStrayTempFiles(s.folder, s.tempPrefix, std::nullopt);

  // Other writers may have changed the file since we read it; their keys must survive. With
  // the lock held nobody can replace it while we merge.
  std::optional<FileStamp> now = defaults::StatPath(s.file);
  if ((!s.loaded || s.readFailed || !now || *now != s.stamp) && !LoadFile(s, true)) {
    NSLog("[NSUserDefaults] synchronize of suite %s failed: %s cannot be read", s.suite,
          s.file.string());
    return false;
  }

  ObjectDictionary merged = s.disk;
  for (const auto& [key, value] : s.pending) {
    if (value.isNil()) {
      merged.erase(key);
    } else {
      merged.insert_or_assign(key, value);
    }
  }
  std::optional<FileStamp> written = defaults::ReplaceFile(
      s.file, s.tempPrefix, SerializeSettings(merged), s.stamp.exists ? s.stamp.mtimeNs : 0);
  if (!written) {
    NSLog("[NSUserDefaults] synchronize of suite %s failed; %s is unchanged", s.suite,
          s.file.string());
    return false;
  }
  s.disk = std::move(merged);
  s.stamp = *written;
  s.pending.clear();
  s.rewrite = false;
  return true;
}

}  // namespace vrk
