#include "Platform/Foundation/NSURL.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <string>
#include <vector>

#include "Platform/Foundation/Object.h"

namespace vrk {
namespace {

bool IsUnreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool IsPathCharacter(unsigned char c) {
  if (c >= 0x80) return false;
  if (IsUnreserved(c)) return true;
  switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
    case '/':
      return true;
    default:
      return false;
  }
}

// Characters that may appear in URL text at all: the path characters, the escape sign and the
// delimiters of the query and fragment.
bool IsURLTextCharacter(unsigned char c) {
  return IsPathCharacter(c) || c == '%' || c == '?' || c == '#';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE || buffer.size() > (1u << 20)) return "/";
    buffer.resize(buffer.size() * 2);
  }
}

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string PercentEncodePath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (char ch : path) {
    auto c = static_cast<unsigned char>(ch);
    if (IsPathCharacter(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

std::optional<std::string> PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int high = HexValue(text[i + 1]);
    int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

std::optional<NSURL> NSURL::fileURLWithPath(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return std::nullopt;
  std::string absolute;
  if (path.front() == '/') {
    absolute = std::string(path);
  } else {
    absolute = CurrentDirectory();
    if (absolute.back() != '/') absolute.push_back('/');
    absolute.append(path);
  }
  std::string text = "file://" + PercentEncodePath(absolute);
  return NSURL(std::move(text), std::move(absolute), true);
}

std::optional<NSURL> NSURL::URLWithString(std::string_view string) {
  // scheme ":" rest, the scheme a letter followed by letters, digits, '+', '-' or '.'.
  std::size_t colon = string.find(':');
  if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
  if (!std::isalpha(static_cast<unsigned char>(string[0]))) return std::nullopt;
  for (std::size_t i = 1; i < colon; ++i) {
    auto c = static_cast<unsigned char>(string[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
  }
  for (char ch : string) {
    if (!IsURLTextCharacter(static_cast<unsigned char>(ch))) return std::nullopt;
  }

  std::string scheme(string.substr(0, colon));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string_view rest = string.substr(colon + 1);
  bool hasAuthority = rest.substr(0, 2) == "//";
  std::string_view authority;
  if (hasAuthority) {
    rest.remove_prefix(2);
    std::size_t end = rest.find_first_of("/?#");
    if (end == std::string_view::npos) end = rest.size();
    authority = rest.substr(0, end);
    rest.remove_prefix(end);
  }
  std::string_view pathPart = rest.substr(0, rest.find_first_of("?#"));

  std::optional<std::string> path = PercentDecode(pathPart);
  if (!path || path->find('\0') != std::string::npos || !IsValidUTF8(*path)) return std::nullopt;

  bool isFile = scheme == "file";
  if (isFile) {
    if (!authority.empty() && authority != "localhost") return std::nullopt;
    if (path->empty() || path->front() != '/') return std::nullopt;
  }
  return NSURL(std::string(string), std::move(*path), isFile);
}

std::optional<NSURL> NSURL::filePathURL() const {
  if (!isFile_) return std::nullopt;
  return *this;
}

std::string NSURL::path() const {
  return StripTrailingSlashes(path_);
}

std::string NSURL::lastPathComponent() const {
  std::string p = path();
  if (p == "/") return p;
  std::size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace vrk
