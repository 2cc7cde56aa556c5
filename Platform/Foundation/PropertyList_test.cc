#include "Platform/Foundation/PropertyList.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "Platform/Foundation/NSLog.h"

namespace vrk {
namespace {

std::optional<Object> Parse(std::string_view text, std::string* error = nullptr) {
  return ParsePropertyList(std::as_bytes(std::span(text)), error);
}

TEST(PropertyListParse, ReadsEveryValueKind) {
  auto plist = Parse(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key> <string>com.mirelta.sync.extension</string>
  <key>blank</key><string>  </string>
  <key>empty</key><string/>
  <key>escaped</key><string>a &amp; b <![CDATA[<c>]]></string>
  <key>count</key><integer> -42 </integer>
  <key>big</key><integer>9223372036854775807</integer>
  <key>real</key><real>2.9</real>
  <key>yes</key><true/>
  <key>no</key><false/>
  <key>data</key><data>
    AAEC/w==
  </data>
  <key>date</key><date>2024-01-02T03:04:05Z</date>
  <key>list</key><array><string>x</string><array/><dict/></array>
  <!-- comments are ignored -->
</dict>
</plist>)");
  ASSERT_TRUE(plist);
  const Object& p = *plist;
  EXPECT_EQ(p.objectForKey("CFBundleIdentifier"), Object("com.mirelta.sync.extension"));
  EXPECT_EQ(p.objectForKey("blank"), Object("  "));
  EXPECT_EQ(p.objectForKey("empty"), Object(""));
  EXPECT_EQ(p.objectForKey("escaped"), Object("a & b <c>"));
  EXPECT_EQ(p.objectForKey("count").integerValue(), -42);
  EXPECT_EQ(p.objectForKey("big").integerValue(), INT64_MAX);
  EXPECT_EQ(p.objectForKey("real").integerValue(), 2);
  EXPECT_EQ(p.objectForKey("yes").numberType(), Object::NumberType::Bool);
  EXPECT_TRUE(p.objectForKey("yes").boolValue());
  EXPECT_FALSE(p.objectForKey("no").boolValue());
  EXPECT_TRUE(p.objectForKey("no").isNumber());
  EXPECT_EQ(p.objectForKey("data"), Object(ObjectData{0, 1, 2, 255}));
  EXPECT_EQ(p.objectForKey("date"), Object("2024-01-02T03:04:05Z"));
  EXPECT_EQ(p.objectForKey("list"),
            Object(ObjectArray{Object("x"), Object(ObjectArray{}), Object(ObjectDictionary{})}));
}

TEST(PropertyListParse, RootNeedNotBeADictionary) {
  EXPECT_EQ(Parse("<plist><string>x</string></plist>"), Object("x"));
  EXPECT_EQ(Parse("<array><integer>1</integer></array>"),
            Object(ObjectArray{Object::numberWithInteger(1)}));
  EXPECT_EQ(Parse("<plist><data>YQ</data></plist>"), Object(ObjectData{'a'}));
}

TEST(PropertyListParse, RejectsBadInputWholly) {
  const std::vector<std::string> broken = {
      "",
      "not xml",
      "<plist><dict><key>a</key></dict></plist>",        // key without value
      "<plist><dict><string>a</string></dict></plist>",  // value without key
      "<plist><dict><key>a</key><foo/></dict></plist>",  // unknown element
      "<plist><integer>12x</integer></plist>",
      "<plist><integer>9223372036854775808</integer></plist>",  // out of range
      "<plist><integer></integer></plist>",
      "<plist><real>1e300</real></plist>",
      "<plist><real>nan</real></plist>",
      "<plist><data>A</data></plist>",       // cut base64
      "<plist><data>YQ==YQ</data></plist>",  // data after the padding
      "<plist><data>Y*Q=</data></plist>",
      "<plist><string>\xC0\xAF</string></plist>",  // overlong UTF-8
      "<plist><dict><key>\xFF</key><true/></dict></plist>",
      "<plist/>",
      "<plist><true/><false/></plist>",  // two values
      "<plist><dict>",                   // not well-formed
  };
  for (const std::string& text : broken) {
    std::string error;
    EXPECT_FALSE(Parse(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(PropertyListParse, BoundsNestingDepth) {
  std::string deep;
  for (int i = 0; i < 600; ++i) deep += "<array>";
  for (int i = 0; i < 600; ++i) deep += "</array>";
  EXPECT_FALSE(Parse(deep));
  std::string fine;
  for (int i = 0; i < 100; ++i) fine += "<array>";
  for (int i = 0; i < 100; ++i) fine += "</array>";
  EXPECT_TRUE(Parse(fine));
}

TEST(PropertyListFile, MissingIsSilentBadIsLogged) {
  char dir[] = "/tmp/vrk.XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  std::filesystem::path root(dir);
  LogCapture capture;
  EXPECT_TRUE(PropertyListWithContentsOfFile(root / "missing.plist").isNil());
  EXPECT_TRUE(capture.lines().empty());
  std::ofstream(root / "bad.plist") << "<plist><dict>";
  EXPECT_TRUE(PropertyListWithContentsOfFile(root / "bad.plist").isNil());
  EXPECT_EQ(capture.countContaining("Cannot read property list"), 1u);
  // A folder where a file was expected is refused rather than read.
  std::filesystem::create_directory(root / "dir.plist");
  EXPECT_TRUE(PropertyListWithContentsOfFile(root / "dir.plist").isNil());
  std::string error;
  EXPECT_FALSE(DataWithContentsOfFile(root / "bad.plist", 4, &error));
  EXPECT_EQ(error, "file too large");
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace vrk
