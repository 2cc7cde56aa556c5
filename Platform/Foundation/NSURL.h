// NSURL, for file URLs.
//
// Contract:
// - An NSURL is an immutable value; copies are independent and cheap enough to keep in sets.
//   Any thread may use its own NSURLs.
// - fileURLWithPath: makes a file URL from a path. A relative path is taken against the current
//   directory at the time of the call (as Foundation does); an empty path or one holding a NUL
//   byte gives nullopt. The path is kept as given otherwise: no "..", symlink or existence
//   check. `path()` gives it back without a trailing slash (except for "/").
// - absoluteString() is the URL text, "file://" followed by the path with every byte outside
//   the URL path characters (unreserved, sub-delims, ':', '@', '/') percent-encoded in upper
//   case: "/a b" becomes "file:///a%20b".
// - URLWithString: parses URL text. A file URL ("file:" with an empty or "localhost" host) has
//   its path percent-decoded; text with characters that cannot stand in a URL, a bad escape, a
//   decoded path that is not UTF-8 or holds a NUL gives nullopt. URLs of other schemes are kept
//   as text; they have no file path (filePathURL() is nullopt and path() is their decoded path
//   part).
// - Two URLs are equal when their absoluteString is equal (Foundation's isEqual:), so
//   "file:///a" and "file:///a/" differ; the ordering is that of absoluteString.
// Nothing here touches the file system, except fileURLWithPath: reading the current directory.
#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>

namespace vrk {

class NSURL {
 public:
  static std::optional<NSURL> fileURLWithPath(std::string_view path);
  static std::optional<NSURL> URLWithString(std::string_view string);

  // The URL itself when it is a file URL (Foundation's filePathURL resolves file reference
  // URLs, which do not exist here); nullopt for any other scheme.
  std::optional<NSURL> filePathURL() const;
  bool isFileURL() const { return isFile_; }

  // The decoded path, without a trailing slash unless it is "/".
  std::string path() const;
  const std::string& absoluteString() const { return string_; }
  // The last path component ("b" for "/a/b/"); "/" for the root.
  std::string lastPathComponent() const;
  // What %@ prints: the absolute string.
  const std::string& description() const { return string_; }

  friend bool operator==(const NSURL& a, const NSURL& b) { return a.string_ == b.string_; }
  friend std::strong_ordering operator<=>(const NSURL& a, const NSURL& b) {
    return a.string_ <=> b.string_;
  }

 private:
  NSURL(std::string string, std::string path, bool isFile)
      : string_(std::move(string)), path_(std::move(path)), isFile_(isFile) {}

  std::string string_;  // the encoded URL text
  std::string path_;    // the decoded path as given (may end in '/')
  bool isFile_ = false;
};

// Percent-encodes the bytes of `path` that are not URL path characters. Exposed for tests.
std::string PercentEncodePath(std::string_view path);
// Decodes %XX escapes; nullopt for a '%' not followed by two hex digits. Exposed for tests.
std::optional<std::string> PercentDecode(std::string_view text);

}  // namespace vrk
