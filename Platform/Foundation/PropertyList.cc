#include "Platform/Foundation/PropertyList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <pugixml.hpp>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/UniqueFd.h"

namespace vrk {
namespace {

constexpr int kMaxDepth = 512;
constexpr std::size_t kMaxPropertyListBytes = 16 * 1024 * 1024;

// The text of an element: its character data and CDATA sections joined, comments skipped.
std::string TextOf(const pugi::xml_node& node) {
  std::string text;
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      text += child.value();
    }
  }
  return text;
}

// The child elements of a node, in order; text and comments between them are skipped.
std::vector<pugi::xml_node> ChildElements(const pugi::xml_node& node) {
  std::vector<pugi::xml_node> elements;
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_element) elements.push_back(child);
  }
  return elements;
}

std::string_view Trimmed(std::string_view s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool DecodeBase64(std::string_view text, ObjectData& out) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::uint32_t bits = 0;
  int count = 0;
  int padding = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    int v = value(c);
    if (v < 0 || padding > 0) return false;  // a bad character, or data after the padding
    bits = bits << 6 | static_cast<std::uint32_t>(v);
    if (++count == 4) {
      out.push_back(static_cast<std::uint8_t>(bits >> 16));
      out.push_back(static_cast<std::uint8_t>(bits >> 8));
      out.push_back(static_cast<std::uint8_t>(bits));
      bits = 0;
      count = 0;
    }
  }
  if (count == 1 || padding > 2) return false;
  if (count == 2) out.push_back(static_cast<std::uint8_t>(bits >> 4));
  if (count == 3) {
    out.push_back(static_cast<std::uint8_t>(bits >> 10));
    out.push_back(static_cast<std::uint8_t>(bits >> 2));
  }
  return true;
}

class PlistReader {
 public:
  std::optional<Object> value(const pugi::xml_node& node, int depth) {
    if (depth > kMaxDepth) return fail("nesting too deep");
    std::string_view name = node.name();
    if (name == "dict") return dict(node, depth);
    if (name == "array") {
      ObjectArray array;
      for (const pugi::xml_node& child : ChildElements(node)) {
        auto v = value(child, depth + 1);
        if (!v) return std::nullopt;
        array.push_back(std::move(*v));
      }
      return Object(std::move(array));
    }
    if (name == "string" || name == "date") {
      std::string text = TextOf(node);
      if (!IsValidUTF8(text)) return fail("string is not UTF-8");
      return Object(std::move(text));
    }
    if (name == "integer") return integer(node);
    if (name == "real") return real(node);
    if (name == "true") return Object::numberWithBool(true);
    if (name == "false") return Object::numberWithBool(false);
    if (name == "data") {
      ObjectData data;
      if (!DecodeBase64(TextOf(node), data)) return fail("bad base64 in <data>");
      return Object(std::move(data));
    }
    return fail("unknown element <" + std::string(name) + ">");
  }

  const std::string& error() const { return error_; }

  std::optional<Object> fail(std::string what) {
    if (error_.empty()) error_ = std::move(what);
    return std::nullopt;
  }

 private:
  std::optional<Object> dict(const pugi::xml_node& node, int depth) {
    ObjectDictionary dict;
    const std::vector<pugi::xml_node> children = ChildElements(node);
    for (auto it = children.begin(); it != children.end(); ++it) {
      if (std::string_view(it->name()) != "key") return fail("expected <key> in <dict>");
      std::string key = TextOf(*it);
      if (!IsValidUTF8(key)) return fail("key is not UTF-8");
      if (++it == children.end()) return fail("<key> without a value");
      auto v = value(*it, depth + 1);
      if (!v) return std::nullopt;
      dict.insert_or_assign(std::move(key), std::move(*v));
    }
    return Object(std::move(dict));
  }

  std::optional<Object> integer(const pugi::xml_node& node) {
    std::string text = TextOf(node);
    std::string_view digits = Trimmed(text);
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
      return fail("bad <integer>");
    }
    return Object::numberWithInteger(v);
  }

  std::optional<Object> real(const pugi::xml_node& node) {
    std::string text(Trimmed(TextOf(node)));
    char* end = nullptr;
    double d = std::strtod(text.c_str(), &end);
    constexpr double kLimit = 9223372036854775807.0;
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(d) || d >= kLimit ||
        d < -kLimit) {
      return fail("bad <real>");
    }
    return Object::numberWithInteger(static_cast<std::int64_t>(d));
  }

  std::string error_;
};

}  // namespace

std::optional<Object> ParsePropertyList(std::span<const std::byte> bytes, std::string* error) {
  auto failed = [&](std::string what) -> std::optional<Object> {
    if (error) *error = std::move(what);
    return std::nullopt;
  };
  pugi::xml_document doc;
  // Whitespace-only text is kept where it is an element's only content, so that
  // <string>  </string> reads as two blanks rather than an empty string.
  pugi::xml_parse_result parsed = doc.load_buffer(
      bytes.data(), bytes.size(), pugi::parse_default | pugi::parse_ws_pcdata_single);
  if (!parsed) return failed(std::string("not well-formed XML: ") + parsed.description());
  pugi::xml_node root = doc.document_element();
  if (!root) return failed("no root element");
  if (std::string_view(root.name()) == "plist") {
    const std::vector<pugi::xml_node> values = ChildElements(root);
    if (values.empty()) return failed("empty <plist>");
    if (values.size() > 1) return failed("more than one value in <plist>");
    root = values.front();
  }
  PlistReader reader;
  auto value = reader.value(root, 0);
  if (!value) return failed(reader.error());
  return value;
}

std::optional<std::vector<std::byte>> DataWithContentsOfFile(const std::filesystem::path& path,
                                                             std::size_t maxBytes,
                                                             std::string* error) {
  auto failed = [&](std::string what) -> std::optional<std::vector<std::byte>> {
    if (error) *error = std::move(what);
    return std::nullopt;
  };
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return failed(std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return failed(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return failed("not a regular file");
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) return failed("file too large");
  std::vector<std::byte> bytes(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(std::strerror(errno));
    if (n == 0) break;  // the file shrank while we read it
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

Object PropertyListWithContentsOfFile(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return Object();
  std::string error;
  auto bytes = DataWithContentsOfFile(path, kMaxPropertyListBytes, &error);
  std::optional<Object> plist;
  if (bytes) plist = ParsePropertyList(*bytes, &error);
  if (!plist) {
    NSLog("Cannot read property list %@: %@", path.string(), error);
    return Object();
  }
  return std::move(*plist);
}

}  // namespace vrk
