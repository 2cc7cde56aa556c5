// The favourites list on the GTK bookmarks file: read whole for each snapshot, rewritten
// atomically with every other line kept byte for byte.
#include "Platform/CoreServices/LSSharedFileList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <system_error>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/UniqueFd.h"

namespace vrk {
namespace {

namespace fs = std::filesystem;
// A bookmarks file larger than this is not one a person keeps; it is left alone.
constexpr std::size_t kMaxFile = 4 * 1024 * 1024;

std::optional<fs::path> BookmarksFile() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
    return fs::path(config) / "gtk-3.0/bookmarks";
  }
  if (const char* home = std::getenv("HOME"); home && *home == '/') {
    return fs::path(home) / ".config/gtk-3.0/bookmarks";
  }
  return std::nullopt;
}

// The file's bytes; empty when it does not exist, nullopt when it cannot be read.
std::optional<std::string> ReadList(const fs::path& file) {
  std::string why;
  auto bytes = DataWithContentsOfFile(file, kMaxFile, &why);
  if (!bytes) {
    struct stat st;
    if (::stat(file.c_str(), &st) != 0 && errno == ENOENT) return std::string();
    NSLog("[CoreServices] cannot read %s: %s", file.string(), why);
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

bool ReplaceFile(const fs::path& requested, const std::string& contents) {
  std::error_code ec;
  // A bookmarks file that is a link (kept with other dotfiles) stays a link to the new list.
  fs::path file = fs::exists(requested, ec) ? fs::canonical(requested, ec) : requested;
  if (ec) file = requested;
  fs::path dir = file.parent_path();
  if (!fs::exists(dir, ec)) {
    fs::create_directories(dir, ec);
    ::chmod(dir.c_str(), 0700);
  }
  mode_t mode = 0644;
  struct stat st;
  if (::stat(file.c_str(), &st) == 0) mode = st.st_mode & 0777;
  fs::path tmp = dir / (".bookmarks." + std::to_string(std::random_device{}()) + ".tmp");
  UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  bool ok = fd && WriteAll(fd.get(), contents) && ::fchmod(fd.get(), mode) == 0 &&
            ::fsync(fd.get()) == 0 && ::rename(tmp.c_str(), file.c_str()) == 0;
  if (!ok) {
    NSLog("[CoreServices] cannot write %s: %s", file.string(), std::strerror(errno));
    if (fd) ::unlink(tmp.c_str());
  }
  return ok;
}

}  // namespace

const LSSharedFileListItemRef kLSSharedFileListItemBeforeFirst =
    std::make_shared<const LSSharedFileListItem>();
const LSSharedFileListItemRef kLSSharedFileListItemLast =
    std::make_shared<const LSSharedFileListItem>();

LSSharedFileListRef LSSharedFileListCreate(const void*, std::string_view listType, const void*) {
  if (listType != kLSSharedFileListFavoriteItems) return nullptr;
  auto file = BookmarksFile();
  if (!file) return nullptr;
  return std::make_shared<LSSharedFileList>(LSSharedFileList{*file});
}

std::vector<LSSharedFileListItemRef> LSSharedFileListCopySnapshot(const LSSharedFileListRef& list,
                                                                  std::uint32_t* seed) {
  std::vector<LSSharedFileListItemRef> items;
  if (seed) *seed = 0;
  if (!list) return items;
  auto text = ReadList(list->file);
  if (!text) return items;
  std::size_t start = 0;
  while (start < text->size()) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    items.push_back(std::make_shared<const LSSharedFileListItem>(
        LSSharedFileListItem{text->substr(start, end - start)}));
    start = end + 1;
  }
  return items;
}

OSStatus LSSharedFileListItemResolve(const LSSharedFileListItemRef& item, std::uint32_t,
                                     std::optional<NSURL>* outURL, void*) {
  if (outURL) *outURL = std::nullopt;
  if (!item) return fnfErr;
  std::string_view line = item->line;
  std::string_view uri = line.substr(0, line.find(' '));
  auto url = NSURL::URLWithString(uri);
  if (!url || !url->isFileURL()) return fnfErr;
  struct stat st;
  if (::stat(url->path().c_str(), &st) != 0) return fnfErr;
  if (outURL) *outURL = std::move(url);
  return noErr;
}

LSSharedFileListItemRef LSSharedFileListInsertItemURL(const LSSharedFileListRef& list,
                                                      const LSSharedFileListItemRef& insertAfter,
                                                      const std::optional<std::string>& displayName,
                                                      const void*, const NSURL& url, const void*,
                                                      const void*) {
  if (!list) return nullptr;
  std::string line = url.absoluteString();
  if (displayName && !displayName->empty()) line += " " + *displayName;
  if (line.find('\n') != std::string::npos) return nullptr;
  auto text = ReadList(list->file);
  if (!text) return nullptr;
  std::string contents;
  if (insertAfter == kLSSharedFileListItemLast) {
    contents = *text;
    if (!contents.empty() && contents.back() != '\n') contents += '\n';
    contents += line + "\n";
  } else {
    contents = line + "\n" + *text;
  }
  if (!ReplaceFile(list->file, contents)) return nullptr;
  return std::make_shared<const LSSharedFileListItem>(LSSharedFileListItem{std::move(line)});
}

std::optional<std::string> CFURLCopyFileSystemPath(const NSURL& url, CFURLPathStyle) {
  if (!url.isFileURL()) return std::nullopt;
  return url.path();
}

std::string stringByAddingPercentEscapesUsingEncoding(std::string_view string, NSStringEncoding) {
  return PercentEncodePath(string);
}

}  // namespace vrk
