#include "Platform/Foundation/PropertyList.h"

#include <expat.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <limits>
#include <memory>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/UniqueFd.h"

namespace vrk {
namespace {

constexpr int kMaxDepth = kMaxObjectNesting;
constexpr std::size_t kMaxPropertyListBytes = 16 * 1024 * 1024;
// How much of a left-out value's text goes into its note.
constexpr std::size_t kNoteTextBytes = 40;

// One element of the document: its name, its character data (CDATA included, comments and
// processing instructions left out) and its child elements.
struct Element {
  std::string name;
  std::string text;
  std::vector<Element> children;
};

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

struct ParserFree {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};

// Builds the element tree with expat, a conforming XML parser: whatever is not well-formed
// (text or a second element after the root, a character reference to NUL, an undefined
// entity) fails the document, and entities declared in the internal DTD are expanded. Nothing
// is ever fetched: an external entity fails the document too.
class TreeBuilder {
 public:
  std::optional<Element> build(std::span<const std::byte> bytes, std::string& error) {
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
      error = "too large";
      return std::nullopt;
    }
    std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
    if (!parser) throw std::bad_alloc();
    parser_ = parser.get();
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &TreeBuilder::Start, &TreeBuilder::End);
    XML_SetCharacterDataHandler(parser_, &TreeBuilder::Text);
    XML_SetSkippedEntityHandler(parser_, &TreeBuilder::Skipped);
    XML_SetExternalEntityRefHandler(parser_, &TreeBuilder::External);
    const XML_Status status = XML_Parse(parser_, reinterpret_cast<const char*>(bytes.data()),
                                        static_cast<int>(bytes.size()), XML_TRUE);
    if (error_.empty() && status != XML_STATUS_OK) {
      error_ = std::string("not well-formed XML: ") + XML_ErrorString(XML_GetErrorCode(parser_));
    }
    if (!error_.empty()) {
      error = error_ + " (line " + std::to_string(XML_GetCurrentLineNumber(parser_)) + ")";
      return std::nullopt;
    }
    if (!root_) {
      error = "no root element";
      return std::nullopt;
    }
    return std::move(*root_);
  }

 private:
  static void Start(void* self, const XML_Char* name, const XML_Char**) {
    auto* b = static_cast<TreeBuilder*>(self);
    if (!b->error_.empty()) return;
    if (b->path_.size() > static_cast<std::size_t>(kMaxDepth) + 1) {
      return b->stop("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
    }
    Element* added;
    if (b->path_.empty()) {
      b->root_.emplace();
      added = &*b->root_;
    } else {
      added = &b->path_.back()->children.emplace_back();
    }
    added->name = name;
    b->path_.push_back(added);
  }
  // After a stop expat may still deliver an event or two; they are ignored.
  static void End(void* self, const XML_Char*) {
    auto* b = static_cast<TreeBuilder*>(self);
    if (b->error_.empty() && !b->path_.empty()) b->path_.pop_back();
  }
  static void Text(void* self, const XML_Char* text, int length) {
    auto* b = static_cast<TreeBuilder*>(self);
    if (b->error_.empty() && !b->path_.empty())
      b->path_.back()->text.append(text, static_cast<std::size_t>(length));
  }
  // Called for a reference to an entity that no declaration we read defines: a document with
  // an external DTD (every plist has one) may use it without that being a syntax error, but its
  // text is unknown, and keeping the reference literally would change the string.
  static void Skipped(void* self, const XML_Char* name, int) {
    static_cast<TreeBuilder*>(self)->stop(std::string("undefined entity &") + name + ";");
  }
  static int External(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*,
                      const XML_Char*) {
    return XML_STATUS_ERROR;
  }

  void stop(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    XML_StopParser(parser_, XML_FALSE);
  }

  XML_Parser parser_ = nullptr;
  std::optional<Element> root_;
  std::vector<Element*> path_;  // the open elements, outermost first
  std::string error_;
};

// Turns the element tree into Objects. A value that is well-formed but that an Object cannot
// hold (a real, an integer outside the signed 64-bit range) is left out and noted; a value that
// is not well-formed fails the whole list.
class PlistReader {
 public:
  explicit PlistReader(std::vector<std::string>* leftOut) : leftOut_(leftOut) {}

  // False on bad input. Otherwise `out` holds the value, or nothing when it is left out.
  bool value(const Element& node, int depth, const std::string& where, std::optional<Object>& out) {
    out.reset();
    if (depth >= kMaxDepth) return fail("nesting too deep");
    const std::string& name = node.name;
    if (name != "string" && name != "date" && name != "data" && name != "integer" &&
        name != "real" && !Trimmed(node.text).empty()) {
      return fail("text inside <" + name + ">");
    }
    if (name == "dict") return dict(node, depth, out);
    if (name == "array") {
      ObjectArray array;
      for (std::size_t i = 0; i < node.children.size(); ++i) {
        std::optional<Object> item;
        if (!value(node.children[i], depth + 1, "item " + std::to_string(i), item)) return false;
        if (item) array.push_back(std::move(*item));
      }
      out = Object(std::move(array));
      return true;
    }
    if (name == "true" || name == "false") {
      out = Object::numberWithBool(name == "true");
      return empty(node);
    }
    if (!node.children.empty()) return fail("an element inside <" + name + ">");
    if (name == "string" || name == "date") {
      if (!IsValidUTF8(node.text)) return fail("string is not UTF-8");
      out = Object(node.text);
      return true;
    }
    if (name == "data") {
      ObjectData data;
      if (!DecodeBase64(node.text, data)) return fail("bad base64 in <data>");
      out = Object(std::move(data));
      return true;
    }
    if (name == "integer") return integer(node.text, where, out);
    if (name == "real") return real(node.text, where);
    return fail("unknown element <" + name + ">");
  }

  const std::string& error() const { return error_; }

 private:
  bool dict(const Element& node, int depth, std::optional<Object>& out) {
    ObjectDictionary dict;
    const std::vector<Element>& children = node.children;
    for (auto it = children.begin(); it != children.end(); ++it) {
      if (it->name != "key") return fail("expected <key> in <dict>");
      if (!it->children.empty()) return fail("an element inside <key>");
      const std::string& key = it->text;
      if (!IsValidUTF8(key)) return fail("key is not UTF-8");
      if (++it == children.end()) return fail("<key> without a value");
      std::optional<Object> v;
      if (!value(*it, depth + 1, "key \"" + key + "\"", v)) return false;
      if (v) dict.insert_or_assign(key, std::move(*v));
    }
    out = Object(std::move(dict));
    return true;
  }

  bool empty(const Element& node) {
    return node.children.empty() || fail("an element inside <" + node.name + ">");
  }

  // Decimal, or hexadecimal after 0x as the platform's reader also takes it, with an optional
  // sign either way.
  bool integer(std::string_view text, const std::string& where, std::optional<Object>& out) {
    std::string_view digits = Trimmed(text);
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
      negative = digits.front() == '-';
      digits.remove_prefix(1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
      base = 16;
      digits.remove_prefix(2);
    }
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    const bool wellFormed = !digits.empty() && end == digits.data() + digits.size() &&
                            (ec == std::errc() || ec == std::errc::result_out_of_range) &&
                            digits.front() != '+' && digits.front() != '-';
    if (!wellFormed) return fail("bad <integer>");
    constexpr std::uint64_t kMax = std::numeric_limits<std::int64_t>::max();
    if (ec == std::errc::result_out_of_range || magnitude > kMax + (negative ? 1 : 0)) {
      note("<integer>", text, "outside the signed 64-bit range", where);
      return true;
    }
    out = Object::numberWithInteger(negative ? static_cast<std::int64_t>(0 - magnitude)
                                             : static_cast<std::int64_t>(magnitude));
    return true;
  }

  // Every real is left out, whatever its value: an Object holds no floating-point number, and
  // truncating some reals while refusing others would make a value's fate depend on its size.
  bool real(std::string_view text, const std::string& where) {
    std::string_view number = Trimmed(text);
    if (!number.empty() && number.front() == '+') number.remove_prefix(1);
    double d = 0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), d);
    const bool wellFormed = !number.empty() && end == number.data() + number.size() &&
                            (ec == std::errc() || ec == std::errc::result_out_of_range);
    if (!wellFormed) return fail("bad <real>");
    note("<real>", text, "no floating-point numbers are held", where);
    return true;
  }

  void note(const char* element, std::string_view text, const char* why, const std::string& where) {
    if (!leftOut_) return;
    std::string shown(Trimmed(text).substr(0, kNoteTextBytes));
    leftOut_->push_back(where + ": " + element + shown + " (" + why + ")");
  }

  bool fail(std::string what) {
    if (error_.empty()) error_ = std::move(what);
    return false;
  }

  std::vector<std::string>* leftOut_;
  std::string error_;
};

}  // namespace

std::optional<Object> ParsePropertyList(std::span<const std::byte> bytes, std::string* error,
                                        std::vector<std::string>* leftOut) {
  std::string why;
  auto failed = [&](std::string what) -> std::optional<Object> {
    if (error) *error = std::move(what);
    return std::nullopt;
  };
  std::optional<Element> root = TreeBuilder().build(bytes, why);
  if (!root) return failed(why);
  const Element* top = &*root;
  if (top->name == "plist") {
    if (!Trimmed(top->text).empty()) return failed("text inside <plist>");
    if (top->children.empty()) return failed("empty <plist>");
    if (top->children.size() > 1) return failed("more than one value in <plist>");
    top = &top->children.front();
  }
  PlistReader reader(leftOut);
  std::optional<Object> value;
  if (!reader.value(*top, 0, "the top level", value)) return failed(reader.error());
  return value ? std::move(*value) : Object();
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

void LogLeftOutValues(std::string_view source, const std::vector<std::string>& leftOut) {
  if (leftOut.empty()) return;
  // One line per file, however many values it lost, naming the first few.
  constexpr std::size_t kNamed = 3;
  std::string named;
  for (std::size_t i = 0; i < leftOut.size() && i < kNamed; ++i) {
    named += (i ? "; " : "") + leftOut[i];
  }
  if (leftOut.size() > kNamed) named += "; ...";
  NSLog("Property list %@: left out %d value(s) that cannot be held: %@", source,
        static_cast<int>(leftOut.size()), named);
}

Object PropertyListWithContentsOfFile(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return Object();
  std::string error;
  auto bytes = DataWithContentsOfFile(path, kMaxPropertyListBytes, &error);
  std::optional<Object> plist;
  std::vector<std::string> leftOut;
  if (bytes) plist = ParsePropertyList(*bytes, &error, &leftOut);
  if (!plist) {
    NSLog("Cannot read property list %@: %@", path.string(), error);
    return Object();
  }
  LogLeftOutValues(path.string(), leftOut);
  return std::move(*plist);
}

}  // namespace vrk
