// The plug-in registry file: its JSON form, its changes and the lock that serialises them.
#include "Tools/pluginkit/PluginRegistry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include <nlohmann/json.hpp>

#include "Platform/Foundation/EmulatedRoot.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/Object.h"
#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/UniqueFd.h"

namespace vrk::pluginkit {
namespace {

using nlohmann::json;

constexpr auto kLockPoll = std::chrono::milliseconds(2);

bool HoldsLineBreak(std::string_view text) {
  return text.find_first_of("\n\r") != std::string_view::npos;
}

std::string_view ElectionName(Election e) {
  return e == Election::Use ? "use" : e == Election::Ignore ? "ignore" : "";
}

std::string Errno(std::string_view action, const std::filesystem::path& path) {
  return std::string(action) + " " + path.string() + ": " + std::strerror(errno);
}

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

// What reading the registry file found.
struct FileRead {
  enum class Kind { Bytes, Bad, Failed } kind = Kind::Bytes;
  std::string bytes;   // Bytes: the file's bytes, empty for a missing file
  std::string reason;  // Bad: why the file cannot be a registry; Failed: the error
};

// Reads the registry file. A file that can never be read as a registry (a folder, a FIFO, a
// symlink loop, a file over kMaxRegistryBytes) is Bad, to be kept aside like garbage; an error
// that may pass (permissions, I/O) is Failed and leaves the file alone.
FileRead ReadWhole(const std::filesystem::path& path) {
  FileRead result;
  auto failed = [&](FileRead::Kind kind, std::string reason) {
    result.kind = kind;
    result.reason = std::move(reason);
    result.bytes.clear();
    return result;
  };
  // O_NONBLOCK: a FIFO in the registry's place must not hang the tool in open().
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    if (errno == ENOENT) return result;
    if (errno == ELOOP) return failed(FileRead::Kind::Bad, "it is a symlink loop");
    return failed(FileRead::Kind::Failed, Errno("open", path));
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return failed(FileRead::Kind::Failed, Errno("stat", path));
  if (!S_ISREG(st.st_mode)) {
    return failed(FileRead::Kind::Bad, S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a file");
  }
  const std::string tooLarge = "it is larger than " + std::to_string(kMaxRegistryBytes) + " bytes";
  if (static_cast<std::uint64_t>(st.st_size) > kMaxRegistryBytes) {
    return failed(FileRead::Kind::Bad, tooLarge);
  }
  char chunk[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(FileRead::Kind::Failed, Errno("read", path));
    if (n == 0) return result;
    // The file may grow while it is read.
    if (result.bytes.size() + static_cast<std::size_t>(n) > kMaxRegistryBytes) {
      return failed(FileRead::Kind::Bad, tooLarge);
    }
    result.bytes.append(chunk, static_cast<std::size_t>(n));
  }
}

std::optional<Registry> Decode(const std::string& bytes, std::string* error) {
  if (bytes.empty()) return Registry{};
  return ParseRegistry(std::as_bytes(std::span(bytes.data(), bytes.size())), error);
}

// An exclusive flock held until the object goes away (or its process dies).
std::optional<UniqueFd> LockRegistry(const std::filesystem::path& lockPath,
                                     std::chrono::milliseconds limit, std::string* error) {
  UniqueFd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) {
    Fail(error, Errno("open", lockPath));
    return std::nullopt;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      Fail(error, Errno("lock", lockPath));
      return std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      Fail(error, "the registry stayed locked for " + std::to_string(limit.count()) + " ms");
      return std::nullopt;
    }
    std::this_thread::sleep_for(kLockPoll);
  }
  return fd;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ReplaceRegistry(const std::filesystem::path& target, std::string_view bytes,
                     std::string* error) {
  std::string temporary = target.string() + ".XXXXXX";
  UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) return Fail(error, Errno("create", temporary));
  ::fchmod(fd.get(), 0644);
  if (!WriteAll(fd.get(), bytes) || ::fsync(fd.get()) != 0) {
    std::string reason = Errno("write", temporary);
    ::unlink(temporary.c_str());
    return Fail(error, reason);
  }
  fd.reset();
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    std::string reason = Errno("rename", temporary);
    ::unlink(temporary.c_str());
    return Fail(error, reason);
  }
  return true;
}

}  // namespace

std::optional<Registry> ParseRegistry(std::span<const std::byte> bytes, std::string* error) {
  auto fail = [error](std::string text) -> std::optional<Registry> {
    if (error) *error = std::move(text);
    return std::nullopt;
  };
  if (bytes.size() > kMaxRegistryBytes) return fail("the registry is too large");
  const char* begin = reinterpret_cast<const char*>(bytes.data());
  json root = json::parse(begin, begin + bytes.size(), nullptr, false);
  if (root.is_discarded() || !root.is_object()) return fail("the registry is not a JSON object");

  Registry registry;
  auto plugins = root.find("plugins");
  if (plugins != root.end()) {
    if (!plugins->is_array()) return fail("\"plugins\" is not an array");
    for (const json& entry : *plugins) {
      if (!entry.is_object()) return fail("a plug-in entry is not an object");
      Registration r;
      for (auto [key, field] : {std::pair{"path", &r.path},
                                {"identifier", &r.identifier},
                                {"version", &r.version},
                                {"point", &r.point}}) {
        auto value = entry.find(key);
        if (value == entry.end() || !value->is_string()) {
          return fail(std::string("a plug-in entry lacks the string \"") + key + "\"");
        }
        *field = value->get<std::string>();
      }
      if (r.path.empty() || r.path.front() != '/') return fail("a plug-in path is not absolute");
      registry.plugins.push_back(std::move(r));
    }
  }
  auto elections = root.find("elections");
  if (elections != root.end()) {
    if (!elections->is_object()) return fail("\"elections\" is not an object");
    for (const auto& [identifier, value] : elections->items()) {
      if (value == "use") {
        registry.elections[identifier] = Election::Use;
      } else if (value == "ignore") {
        registry.elections[identifier] = Election::Ignore;
      } else {
        return fail("the election of " + identifier + " is neither \"use\" nor \"ignore\"");
      }
    }
  }
  return registry;
}

std::string SerializeRegistry(const Registry& registry) {
  json plugins = json::array();
  for (const Registration& r : registry.plugins) {
    plugins.push_back({{"path", r.path},
                       {"identifier", r.identifier},
                       {"version", r.version},
                       {"point", r.point}});
  }
  json elections = json::object();
  for (const auto& [identifier, election] : registry.elections) {
    if (election != Election::Undecided) elections[identifier] = ElectionName(election);
  }
  json root = {{"plugins", std::move(plugins)}, {"elections", std::move(elections)}};
  // Every string was checked as UTF-8 on its way in; replace guards against a caller that
  // built a registry by hand.
  return root.dump(1, '\t', false, json::error_handler_t::replace) + "\n";
}

std::string NormalizedPath(std::string_view path) {
  std::string text(path);
  if (text.empty() || text.front() != '/') {
    std::error_code ec;
    std::filesystem::path cwd = std::filesystem::current_path(ec);
    text = (cwd / std::filesystem::path(text)).string();
  }
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

void Register(Registry& registry, Registration registration) {
  Unregister(registry, registration.path);
  registry.plugins.insert(registry.plugins.begin(), std::move(registration));
}

bool Unregister(Registry& registry, std::string_view path) {
  return std::erase_if(registry.plugins, [&](const Registration& r) { return r.path == path; }) > 0;
}

bool UnregisterListed(Registry& registry, std::string_view path) {
  if (Unregister(registry, path)) return true;
  return std::erase_if(registry.plugins, [&](const Registration& r) {
           return HoldsLineBreak(r.path) && ListedText(r.path) == path;
         }) > 0;
}

bool Elect(Registry& registry, std::string_view identifier, Election election) {
  bool known = std::any_of(registry.plugins.begin(), registry.plugins.end(),
                           [&](const Registration& r) { return r.identifier == identifier; });
  if (!known) return false;
  registry.elections[std::string(identifier)] = election;
  return true;
}

std::optional<Registration> RegistrationForBundle(std::string_view path, std::string* error) {
  auto fail = [error](std::string text) -> std::optional<Registration> {
    if (error) *error = std::move(text);
    return std::nullopt;
  };
  Registration r;
  r.path = NormalizedPath(path);
  if (!IsValidUTF8(r.path)) return fail("the path is not UTF-8");
  // The registry's listing is one line per copy, and installers read it line by line.
  if (HoldsLineBreak(r.path)) return fail("the path holds a line break or a carriage return");
  std::error_code ec;
  if (!std::filesystem::is_directory(r.path, ec)) return fail("no bundle at this path");
  Object info =
      PropertyListWithContentsOfFile(std::filesystem::path(r.path) / "Contents/Info.plist");
  if (!info.isDictionary()) return fail("the bundle has no readable Contents/Info.plist");
  auto text = [](const Object& o) { return o.isString() ? *o.string() : std::string(); };
  r.identifier = text(info.objectForKey("CFBundleIdentifier"));
  r.version = text(info.objectForKey("CFBundleVersion"));
  if (r.version.empty()) r.version = text(info.objectForKey("CFBundleShortVersionString"));
  if (r.version.empty()) r.version = "0";
  r.point = text(info.objectForKey("NSExtension").objectForKey("NSExtensionPointIdentifier"));
  if (r.identifier.empty()) return fail("the bundle has no CFBundleIdentifier");
  if (r.point.empty()) return fail("the bundle names no NSExtensionPointIdentifier");
  if (HoldsLineBreak(r.identifier) || HoldsLineBreak(r.version)) {
    return fail("the bundle's identifier or version holds a line break");
  }
  return r;
}

std::vector<ListedCopy> Matches(const Registry& registry, std::string_view identifier) {
  std::vector<ListedCopy> copies;
  std::vector<std::string_view> seen;
  for (const Registration& r : registry.plugins) {
    if (!identifier.empty() && r.identifier != identifier) continue;
    char mark = ' ';
    if (std::find(seen.begin(), seen.end(), r.identifier) == seen.end()) {
      seen.push_back(r.identifier);
      auto election = registry.elections.find(r.identifier);
      Election e = election == registry.elections.end() ? Election::Undecided : election->second;
      mark = e == Election::Use ? '+' : e == Election::Ignore ? '-' : '?';
    }
    copies.push_back({mark, &r});
  }
  return copies;
}

std::string ListedText(std::string_view text) {
  if (!HoldsLineBreak(text)) return std::string(text);
  std::string escaped;
  for (char c : text) {
    if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c == '\\') {
      escaped += "\\\\";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string FormatListing(const std::vector<ListedCopy>& copies, bool verbose) {
  std::string out;
  for (const ListedCopy& copy : copies) {
    out += copy.mark;
    out += "    ";
    out += ListedText(copy.registration->identifier) + "(" +
           ListedText(copy.registration->version) + ")";
    if (verbose) out += "\t" + ListedText(copy.registration->path);
    out += '\n';
  }
  return out;
}

std::vector<Registration> ElectedCopies(const Registry& registry, std::string_view point) {
  std::vector<Registration> elected;
  for (const ListedCopy& copy : Matches(registry, {})) {
    if (copy.registration->point == point && (copy.mark == '+' || copy.mark == '?')) {
      elected.push_back(*copy.registration);
    }
  }
  return elected;
}

std::filesystem::path RegistryPath() {
  return emulated::Resolve("/var/db/pluginkit/registry.json");
}

Registry ReadRegistry() {
  const std::filesystem::path path = RegistryPath();
  FileRead read = ReadWhole(path);
  std::string error = read.reason;
  std::optional<Registry> registry =
      read.kind == FileRead::Kind::Bytes ? Decode(read.bytes, &error) : std::nullopt;
  if (!registry) {
    NSLog("[pluginkit] the registry %s reads as empty: %s", path.string(), error);
    return {};
  }
  return *registry;
}

bool UpdateRegistry(const std::function<bool(Registry&)>& change, std::string* error,
                    std::chrono::milliseconds lockLimit) {
  const std::filesystem::path path = RegistryPath();
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  if (ec) return Fail(error, "cannot create " + path.parent_path().string() + ": " + ec.message());
  std::optional<UniqueFd> lock = LockRegistry(path.string() + ".lock", lockLimit, error);
  if (!lock) return false;

  FileRead read = ReadWhole(path);
  if (read.kind == FileRead::Kind::Failed) return Fail(error, read.reason);
  std::string reason = read.reason;
  std::optional<Registry> registry =
      read.kind == FileRead::Kind::Bytes ? Decode(read.bytes, &reason) : std::nullopt;
  if (!registry) {
    // Kept for whoever wants to know what was there; the registry starts again from nothing.
    // An older copy kept aside goes first, as a folder could not be renamed over it.
    const std::string aside = path.string() + ".corrupt";
    NSLog("[pluginkit] the registry %s cannot be read (%s); kept aside as %s", path.string(),
          reason, aside);
    std::filesystem::remove_all(aside, ec);
    if (::rename(path.c_str(), aside.c_str()) != 0) return Fail(error, Errno("rename", path));
    registry.emplace();
  }
  if (!change(*registry)) return true;
  return ReplaceRegistry(path, SerializeRegistry(*registry), error);
}

}  // namespace vrk::pluginkit
