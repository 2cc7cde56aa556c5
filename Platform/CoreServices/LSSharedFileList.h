// CoreServices' shared file lists, for the Finder favourites: the GTK bookmarks file
// (${XDG_CONFIG_HOME:-$HOME/.config}/gtk-3.0/bookmarks), which GNOME Files, Nemo, Caja and
// Thunar show as their sidebar.
//
// Each line of the file is an item: a URI, then optionally a blank and a label. A snapshot holds
// every line in order, whatever it is; an item resolves only when its URI is a file URL whose
// path exists (other schemes, such as sftp:// or recent:///, and lines that are not URIs never
// resolve, and are kept untouched). Inserting rewrites the file through a temporary file beside
// it and a rename (it follows a symbolic link to the file it names), so that a reader sees the
// old list or the new one; every other line keeps its bytes, and a missing folder or file is
// created (mode 0700 and 0644).
//
// Contract:
// - LSSharedFileListCreate returns null for a list type other than the favourites, or when
//   neither XDG_CONFIG_HOME nor HOME is set. The list reads the file anew for every snapshot
//   and insertion; it belongs to the caller, and one list may be used by one thread at a time.
// - LSSharedFileListItemResolve returns noErr with the item's URL, or fnfErr when it does not
//   resolve. The flags are accepted as given (nothing here ever needs the user).
// - LSSharedFileListInsertItemURL returns the new item, or null (with a log line) when the
//   file could not be written, in which case it is unchanged. Only kLSSharedFileListItemLast and
//   kLSSharedFileListItemBeforeFirst are positions here.
// - stringByAddingPercentEscapesUsingEncoding escapes, in UTF-8, every byte that is not a URL
//   path character (unreserved, sub-delims, ':', '@', '/'), '%', '#' and '?' included, so
//   that a folder path survives inside a file URL.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/NSURL.h"

namespace vrk {

using OSStatus = std::int32_t;
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus fnfErr = -43;

inline constexpr const char* kLSSharedFileListFavoriteItems =
    "com.apple.LSSharedFileList.FavoriteItems";
inline constexpr std::uint32_t kLSSharedFileListNoUserInteraction = 1;
inline constexpr std::uint32_t kLSSharedFileListDoNotMountVolumes = 2;

struct LSSharedFileListItem {
  std::string line;  // the line as it is in the file, without its newline
};
using LSSharedFileListItemRef = std::shared_ptr<const LSSharedFileListItem>;

// The two insertion positions, compared by identity.
extern const LSSharedFileListItemRef kLSSharedFileListItemBeforeFirst;
extern const LSSharedFileListItemRef kLSSharedFileListItemLast;

struct LSSharedFileList {
  std::filesystem::path file;
};
using LSSharedFileListRef = std::shared_ptr<LSSharedFileList>;

LSSharedFileListRef LSSharedFileListCreate(const void* allocator, std::string_view listType,
                                           const void* listOptions);
std::vector<LSSharedFileListItemRef> LSSharedFileListCopySnapshot(const LSSharedFileListRef& list,
                                                                  std::uint32_t* seed);
OSStatus LSSharedFileListItemResolve(const LSSharedFileListItemRef& item, std::uint32_t flags,
                                     std::optional<NSURL>* outURL, void* outRef);
LSSharedFileListItemRef LSSharedFileListInsertItemURL(const LSSharedFileListRef& list,
                                                      const LSSharedFileListItemRef& insertAfter,
                                                      const std::optional<std::string>& displayName,
                                                      const void* icon, const NSURL& url,
                                                      const void* propertiesToSet,
                                                      const void* propertiesToClear);

enum CFURLPathStyle { kCFURLPOSIXPathStyle = 0 };
std::optional<std::string> CFURLCopyFileSystemPath(const NSURL& url, CFURLPathStyle style);

enum NSStringEncoding { NSUTF8StringEncoding = 4 };
std::string stringByAddingPercentEscapesUsingEncoding(std::string_view string,
                                                      NSStringEncoding encoding);

}  // namespace vrk
