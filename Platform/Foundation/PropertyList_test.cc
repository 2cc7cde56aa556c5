#include "Platform/Foundation/PropertyList.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "Platform/Foundation/NSLog.h"

namespace vrk {
namespace {

std::optional<Object> Parse(std::string_view text, std::string* error = nullptr,
                            std::vector<std::string>* leftOut = nullptr) {
  return ParsePropertyList(std::as_bytes(std::span(text)), error, leftOut);
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
  EXPECT_TRUE(p.objectForKey("real").isNil());
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
      "<plist><integer></integer></plist>",
      "<plist><data>A</data></plist>",       // cut base64
      "<plist><data>YQ==YQ</data></plist>",  // data after the padding
      "<plist><data>Y*Q=</data></plist>",
      "<plist><string>\xC0\xAF</string></plist>",  // overlong UTF-8
      "<plist><dict><key>\xFF</key><true/></dict></plist>",
      "<plist/>",
      "<plist><true/><false/></plist>",  // two values
      "<plist><dict>",                   // not well-formed
      "<plist><integer>0x</integer></plist>",
      "<plist><integer>0xG1</integer></plist>",
      "<plist><integer>--1</integer></plist>",
      "<plist><integer>1.5</integer></plist>",
      "<plist><real></real></plist>",
      "<plist><real>1.5x</real></plist>",
      "<plist><real>0x1p3</real></plist>",
      "<plist><dict>stray text<key>a</key><true/></dict></plist>",
      "<plist><string>a<b/></string></plist>",
      "<plist><true>x</true></plist>",
  };
  for (const std::string& text : broken) {
    std::string error;
    EXPECT_FALSE(Parse(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

// A value the value type cannot hold costs that value only; the rest of the list is kept.
TEST(PropertyListParse, LeavesOutOnlyTheValuesAnObjectCannotHold) {
  std::vector<std::string> leftOut;
  auto plist = Parse(R"(<plist><dict>
    <key>hex</key><integer>0xDEADBEEF</integer>
    <key>negativeHex</key><integer> -0X10 </integer>
    <key>min</key><integer>-9223372036854775808</integer>
    <key>maxHex</key><integer>0x7FFFFFFFFFFFFFFF</integer>
    <key>above</key><integer>9223372036854775808</integer>
    <key>huge</key><integer>123456789012345678901234567890</integer>
    <key>allOnes</key><integer>0xFFFFFFFFFFFFFFFF</integer>
    <key>below</key><integer>-9223372036854775809</integer>
    <key>scale</key><real>1.6</real>
    <key>nan</key><real>nan</real>
    <key>inf</key><real>+infinity</real>
    <key>big</key><real>1e19</real>
    <key>two</key><real>2</real>
    <key>list</key><array><real>-inf</real><string>kept</string></array>
    <key>name</key><string>TextMate</string>
  </dict></plist>)",
                     nullptr, &leftOut);
  ASSERT_TRUE(plist);
  EXPECT_EQ(*plist, Object(ObjectDictionary{{"hex", Object::numberWithInteger(0xDEADBEEF)},
                                            {"negativeHex", Object::numberWithInteger(-16)},
                                            {"min", Object::numberWithInteger(INT64_MIN)},
                                            {"maxHex", Object::numberWithInteger(INT64_MAX)},
                                            {"list", Object(ObjectArray{Object("kept")})},
                                            {"name", Object("TextMate")}}));
  ASSERT_EQ(leftOut.size(), 10u);
  EXPECT_EQ(leftOut[0],
            "key \"above\": <integer>9223372036854775808 (outside the signed "
            "64-bit range)");
  EXPECT_EQ(leftOut[4], "key \"scale\": <real>1.6 (no floating-point numbers are held)");
  EXPECT_EQ(leftOut[9], "item 0: <real>-inf (no floating-point numbers are held)");
  // A root that cannot be held reads as nil rather than failing.
  EXPECT_EQ(Parse("<plist><real>0.5</real></plist>"), Object());
}

// What is not well-formed XML is refused, as a conforming XML parser refuses it; what is
// well-formed reads as XML defines it.
TEST(PropertyListParse, FollowsXMLWellFormedness) {
  const std::string doctype =
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">";
  const std::vector<std::string> refused = {
      "<plist><true/></plist>trailing text",
      "<plist><true/></plist><plist><false/></plist>",
      "<plist><true/></plist><!-- fine -->\n<x/>",
      "<plist><string>a&#0;b</string></plist>",
      "<plist><string>a&nbsp;b</string></plist>",
      doctype + "<plist><string>a&nbsp;b</string></plist>",
      "<!DOCTYPE plist [<!ENTITY ext SYSTEM \"file:///etc/hostname\">]>"
      "<plist><string>&ext;</string></plist>",
      std::string("<plist><string>a\0b</string></plist>", 34),
      "<?xml version=\"1.0\" encoding=\"x-unknown\"?><plist><true/></plist>",
  };
  for (const std::string& text : refused) {
    std::string error;
    EXPECT_FALSE(Parse(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  EXPECT_EQ(Parse(doctype + "<plist><true/></plist>\n<!-- a comment -->\n"),
            Object::numberWithBool(true));
  EXPECT_EQ(Parse("<!DOCTYPE plist [<!ENTITY app \"Sync &amp; Share\">]>"
                  "<plist><string>&app; &#x263A;&#65;&lt;</string></plist>"),
            Object("Sync & Share \u263A"
                   "A<"));
  EXPECT_EQ(Parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><string>\xE9</string>"
                  "</plist>"),
            Object("\u00e9"));
}

TEST(PropertyListParse, BoundsNestingDepth) {
  auto nested = [](int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "<array>";
    for (int i = 0; i < levels; ++i) text += "</array>";
    return text;
  };
  EXPECT_FALSE(Parse(nested(100000)));
  EXPECT_FALSE(Parse(nested(kMaxObjectNesting + 1)));
  EXPECT_TRUE(Parse(nested(kMaxObjectNesting)));
}

// Files written as other programs write them: every value an Object can hold is kept, and one
// line names what was left out.
TEST(PropertyListFile, ReadsRealWorldFilesKeepingEveryGoodValue) {
  const std::filesystem::path corpus = VRK_CORPUS_DIR "/plist";
  LogCapture capture;
  Object info = PropertyListWithContentsOfFile(corpus / "realworld-Info.plist");
  EXPECT_EQ(info.objectForKey("CFBundleDisplayName"), Object("Sync & Share"));
  EXPECT_EQ(info.objectForKey("CFBundleVersion"), Object::numberWithInteger(3401));
  EXPECT_EQ(info.objectForKey("IconTint"), Object::numberWithInteger(0xFF8800));
  EXPECT_TRUE(info.objectForKey("WindowScale").isNil());
  EXPECT_EQ(info.objectForKey("NSExtension").objectForKey("NSExtensionPrincipalClass"),
            Object("FinderSync"));
  EXPECT_EQ(info.count(), 13u);
  EXPECT_EQ(capture.countContaining("left out 1 value(s)"), 1u);

  Object theme = PropertyListWithContentsOfFile(corpus / "realworld-theme.tmTheme");
  ASSERT_EQ(theme.objectForKey("settings").count(), 3u);
  EXPECT_EQ(theme.objectForKey("settings").array()->at(2).objectForKey("scope"),
            Object("string.quoted.double, string.quoted.single & friends"));
  EXPECT_TRUE(theme.objectForKey("fontSize").isNil());
  EXPECT_EQ(capture.countContaining("left out 2 value(s)"), 1u);

  Object gnustep = PropertyListWithContentsOfFile(corpus / "realworld-gnustep-defaults.plist");
  EXPECT_EQ(gnustep.objectForKey("NSLanguages"),
            Object(ObjectArray{Object("Fran\u00e7ais"), Object("English")}));
  EXPECT_EQ(gnustep.objectForKey("Title"), Object("Sync pr\u00e9f\u00e9rences"));
  EXPECT_EQ(gnustep.objectForKey("Key").count(), 16u);
  EXPECT_TRUE(gnustep.objectForKey("Serial").isNil());
  EXPECT_EQ(gnustep.count(), 5u);

  for (const char* bad : {"trailing-element.plist", "trailing-text.plist", "nul-charref.plist",
                          "nbsp-entity.plist", "external-entity.plist", "laughs.plist"}) {
    EXPECT_TRUE(PropertyListWithContentsOfFile(corpus / bad).isNil()) << bad;
  }
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
