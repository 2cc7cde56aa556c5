#include "Platform/Foundation/StringsFile.h"

#include <gtest/gtest.h>

#include <vector>

#include "Platform/Foundation/NSLog.h"

namespace vrk {
namespace {

std::span<const std::byte> Bytes(std::string_view s) {
  return std::as_bytes(std::span(s));
}

std::optional<StringsTable> Parse(std::string_view text, std::string* error = nullptr) {
  return ParseStrings(Bytes(text), error);
}

// UTF-16 with a byte-order mark, from UTF-16 code units.
std::vector<std::byte> UTF16(std::u16string_view text, bool bigEndian) {
  std::vector<std::byte> out;
  auto push = [&](char16_t u) {
    std::byte hi{static_cast<unsigned char>(u >> 8)}, lo{static_cast<unsigned char>(u & 0xFF)};
    out.push_back(bigEndian ? hi : lo);
    out.push_back(bigEndian ? lo : hi);
  };
  push(0xFEFF);
  for (char16_t u : text) push(u);
  return out;
}

TEST(StringsParse, ReadsEntriesCommentsAndWords) {
  auto table = Parse(
      "/* Menu titles */\n"
      "\"Prefix\" = \"Mirelta\";  // the product\n"
      "\"View on Web\"=\"Im Web ansehen\";\n"
      "Share = \"Teilen\";\n"
      "key.with/odd:chars-$_1 = word;\n"
      "\"Alone\";\n"
      "'single' = 'quoted';\n"
      "\"dup\" = \"first\"; \"dup\" = \"second\";\n"
      "/* a comment with \"quotes\" ; and = */");
  ASSERT_TRUE(table);
  EXPECT_EQ(*table, (StringsTable{{"Prefix", "Mirelta"},
                                  {"View on Web", "Im Web ansehen"},
                                  {"Share", "Teilen"},
                                  {"key.with/odd:chars-$_1", "word"},
                                  {"Alone", "Alone"},
                                  {"single", "quoted"},
                                  {"dup", "second"}}));
}

TEST(StringsParse, DecodesEscapes) {
  auto table = Parse(R"("a" = "q\"b\\n\nt\tr\r";)"
                     R"("u" = "\U00e9\u4e2d\U41";)"
                     R"("pair" = "\UD83D\UDE00";)"
                     R"("octal" = "\101\0x";)"
                     R"("other" = "\z\'";)"
                     "\"raw\" = \"line\nbreak é\";");
  ASSERT_TRUE(table);
  EXPECT_EQ(table->at("a"), "q\"b\\n\nt\tr\r");
  EXPECT_EQ(table->at("u"),
            "\u00e9\u4e2d"
            "A");
  EXPECT_EQ(table->at("pair"), "\U0001F600");
  EXPECT_EQ(table->at("octal"), std::string("A\0x", 3));
  EXPECT_EQ(table->at("other"), "z'");
  EXPECT_EQ(table->at("raw"), "line\nbreak \u00e9");
}

TEST(StringsParse, AcceptsByteOrderMarksAndBraces) {
  const std::u16string text = u"\"Share\" = \"\u5171\u4eab\"; \"Emoji\" = \"\U0001F600\";";
  for (bool bigEndian : {false, true}) {
    auto table = ParseStrings(UTF16(text, bigEndian));
    ASSERT_TRUE(table) << bigEndian;
    EXPECT_EQ(table->at("Share"), "\u5171\u4eab");
    EXPECT_EQ(table->at("Emoji"), "\U0001F600");
  }
  auto bom = Parse("\xEF\xBB\xBF\"k\" = \"v\";");
  ASSERT_TRUE(bom);
  EXPECT_EQ(bom->at("k"), "v");
  auto braced = Parse(" { \"k\" = \"v\"; } ");
  ASSERT_TRUE(braced);
  EXPECT_EQ(braced->at("k"), "v");
  auto empty = Parse("  // nothing but a comment");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(StringsParse, ReadsXMLPropertyListTables) {
  auto table = Parse(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>Share</key><string>Partager</string></dict></plist>");
  ASSERT_TRUE(table);
  EXPECT_EQ(*table, (StringsTable{{"Share", "Partager"}}));
  EXPECT_FALSE(Parse("<plist><array/></plist>"));
  // An entry whose value is not a string costs that entry only.
  std::vector<std::string> leftOut;
  EXPECT_EQ(ParseStrings(Bytes("<plist><dict><key>n</key><integer>1</integer>"
                               "<key>a</key><string>b</string></dict></plist>"),
                         nullptr, &leftOut),
            (StringsTable{{"a", "b"}}));
  EXPECT_EQ(leftOut, std::vector<std::string>{"key \"n\": not a string"});
}

// A table's declared encoding is read as the property-list reader reads it, from the same
// bytes; a text table still has to be UTF-8 or UTF-16 with a byte-order mark.
TEST(StringsParse, XMLTablesFollowTheirDeclaredEncodingLikePropertyLists) {
  const std::string latin1 =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!DOCTYPE plist PUBLIC "
      "\"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\"><dict><key>Caf\xE9</key><string>\xC0 bient\xF4t</string></dict>"
      "</plist>\n";
  EXPECT_EQ(Parse(latin1), (StringsTable{{"Caf\u00e9", "\u00c0 bient\u00f4t"}}));
  std::u16string utf16 =
      u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><plist><dict>"
      u"<key>k</key><string>\u00e9</string></dict></plist>";
  EXPECT_EQ(ParseStrings(UTF16(utf16, true)), (StringsTable{{"k", "\u00e9"}}));
  EXPECT_EQ(ParseStrings(UTF16(utf16, false)), (StringsTable{{"k", "\u00e9"}}));
  std::string error;
  EXPECT_FALSE(Parse("<?xml version=\"1.0\" encoding=\"KOI8-R\"?><plist><dict/></plist>", &error));
  EXPECT_NE(error.find("encoding"), std::string::npos) << error;
  EXPECT_FALSE(Parse("\"Caf\xE9\" = \"x\";"));  // a Latin-1 text table has no declaration
}

TEST(StringsParse, RejectsBrokenInputWholly) {
  const std::vector<std::string> broken = {
      "\"a\" = \"b\"",                          // missing ;
      "\"a\" \"b\";",                           // missing =
      "\"a\" = ;",                              // missing value
      "\"a\" = \"b",                            // unterminated string
      "\"a\" = \"b\\",                          // escape at the end of the text
      "/* never closed",                        // unterminated comment
      "\"a\" = (\"b\");",                       // not a string
      "\"a\" = \"\\UD800\";",                   // lone high surrogate
      "\"a\" = \"\\UDC00\";",                   // lone low surrogate
      "\"a\" = \"\\UD83Dx\";",                  // high surrogate followed by text
      "\"a\" = \"\\U\";",                       // \U without digits
      "{ \"a\" = \"b\";",                       // unclosed brace
      "\"a\" = \"b\"; } x",                     // stray brace
      "\"ok\" = \"1\"; \"a\" = \"\xC0\xAF\";",  // overlong UTF-8
      "\"a\" = \"\xED\xA0\x80\";",              // encoded surrogate
      "\"a\" = \"\xE4\xB8\";",                  // cut multi-byte sequence
      "\"a\" = \"\xFF\";",
  };
  for (const std::string& text : broken) {
    std::string error;
    EXPECT_FALSE(Parse(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  // UTF-16: odd length, lone surrogates.
  auto odd = UTF16(u"\"a\"=\"b\";", false);
  odd.push_back(std::byte{'x'});
  EXPECT_FALSE(ParseStrings(odd));
  EXPECT_FALSE(ParseStrings(UTF16(u"\"a\"=\"\xD800\";", true)));
  EXPECT_FALSE(ParseStrings(UTF16(u"\"a\"=\"\xDC00\";", false)));
  auto cut = UTF16(u"\"a\"=\"b\";\xD83D", false);
  EXPECT_FALSE(ParseStrings(cut));
}

TEST(StringsParse, ReportsTheLineOfAnError) {
  std::string error;
  EXPECT_FALSE(Parse("\"a\" = \"b\";\n\n\"c\" = \"d\"\n", &error));
  EXPECT_NE(error.find("line 4"), std::string::npos) << error;
}

TEST(StringsTableWithContentsOfFile, ReadsRealWorldTables) {
  const std::filesystem::path corpus = VRK_CORPUS_DIR "/strings";
  StringsTable french = StringsTableWithContentsOfFile(corpus / "realworld-Localizable.strings");
  EXPECT_EQ(french.size(), 13u);
  EXPECT_EQ(french["Unlock file"], "D\u00e9verrouiller le fichier");
  EXPECT_EQ(french["Failed"], "\u00c9chec");
  EXPECT_EQ(french["%@ of %@"], "%1$@ sur %2$@");
  EXPECT_EQ(french["Quote"], "\"cit\u00e9\"\n");
  StringsTable utf16 = StringsTableWithContentsOfFile(corpus / "realworld-InfoPlist-utf16.strings");
  EXPECT_EQ(utf16["CFBundleDisplayName"], "\u540c\u6b65");
  EXPECT_EQ(utf16.size(), 3u);
  LogCapture capture;
  StringsTable latin1 = StringsTableWithContentsOfFile(corpus / "realworld-xml-latin1.strings");
  EXPECT_EQ(latin1, (StringsTable{{"Share link", "Partager le lien"},
                                  {"Unlock file", "D\u00e9verrouiller le fichier"},
                                  {"Succeeded", "Synchronis\u00e9"}}));
  EXPECT_EQ(capture.countContaining("key \"Version\": not a string"), 1u);
}

TEST(StringsTableFromData, LogsAndYieldsNothingForBadInput) {
  LogCapture capture;
  EXPECT_TRUE(StringsTableFromData(Bytes("\"a\" = \"b\"; \"c\""), "Bad.strings").empty());
  EXPECT_EQ(capture.countContaining("Cannot read string table Bad.strings: "), 1u);
  EXPECT_EQ(StringsTableFromData(Bytes("\"a\" = \"b\";"), "Good.strings").size(), 1u);
  EXPECT_EQ(capture.lines().size(), 1u);
}

}  // namespace
}  // namespace vrk
