#include "Platform/Foundation/Object.h"

#include <gtest/gtest.h>

namespace vrk {
namespace {

TEST(ObjectConversions, StringIntegerValueTakesLeadingDecimal) {
  EXPECT_EQ(Object("9").integerValue(), 9);
  EXPECT_EQ(Object("  42abc").integerValue(), 42);
  EXPECT_EQ(Object("-7").integerValue(), -7);
  EXPECT_EQ(Object("+8").integerValue(), 8);
  EXPECT_EQ(Object("abc").integerValue(), 0);
  EXPECT_EQ(Object("").integerValue(), 0);
  EXPECT_EQ(Object("99999999999999999999999").integerValue(), INT64_MAX);
  EXPECT_EQ(Object("-99999999999999999999999").integerValue(), INT64_MIN);
  EXPECT_EQ(Object().integerValue(), 0);
  EXPECT_EQ(Object(ObjectArray{Object("1")}).integerValue(), 0);
}

TEST(ObjectConversions, StringBoolValueFollowsNSString) {
  for (const char* yes : {"YES", "yes", "true", "T", "1", "  +007", "-1", "9x"}) {
    EXPECT_TRUE(Object(yes).boolValue()) << yes;
  }
  for (const char* no : {"NO", "no", "false", "0", "000", "", "  ", "x1", "-0"}) {
    EXPECT_FALSE(Object(no).boolValue()) << no;
  }
  EXPECT_FALSE(Object().boolValue());
  EXPECT_TRUE(Object::numberWithBool(true).boolValue());
  EXPECT_TRUE(Object::numberWithInteger(2).boolValue());
}

TEST(ObjectConversions, NumbersKeepTheirTypeButCompareByValue) {
  EXPECT_EQ(Object::numberWithInt(3).numberType(), Object::NumberType::Int32);
  EXPECT_EQ(Object::numberWithBool(true).numberType(), Object::NumberType::Bool);
  EXPECT_EQ(Object::numberWithInteger(1), Object::numberWithBool(true));
  EXPECT_NE(Object::numberWithInteger(1), Object("1"));
  EXPECT_EQ(Object::numberWithInteger(-5).stringValue(), "-5");
}

TEST(ObjectValues, CopiesAreIndependent) {
  ObjectDictionary d{{"title", Object("A")}};
  Object original(d);
  d["title"] = Object("B");
  EXPECT_EQ(original.objectForKey("title"), Object("A"));
  Object copy = original;
  EXPECT_EQ(copy, original);
  EXPECT_TRUE(original.objectForKey("missing").isNil());
  EXPECT_TRUE(Object("x").objectForKey("title").isNil());
}

TEST(ObjectDescription, MatchesFoundationText) {
  EXPECT_EQ(Object().description(), "(null)");
  EXPECT_EQ(Object("a b").description(), "a b");
  EXPECT_EQ(Object::numberWithBool(false).description(), "0");
  Object dict(ObjectDictionary{{"command", Object::numberWithInteger(4)},
                               {"title", Object("Prefix - Share")}});
  EXPECT_EQ(dict.description(), "{\n    command = 4;\n    title = \"Prefix - Share\";\n}");
  Object list(ObjectArray{dict});
  EXPECT_EQ(list.description(),
            "(\n    {\n        command = 4;\n        title = \"Prefix - Share\";\n    }\n)");
  EXPECT_EQ(Object(ObjectArray{}).description(), "(\n)");
}

TEST(Utf8, RejectsMalformedSequences) {
  EXPECT_TRUE(IsValidUTF8("plain /a/b"));
  EXPECT_TRUE(IsValidUTF8("\xE4\xB8\xAD\xE6\x96\x87"));
  EXPECT_TRUE(IsValidUTF8("\xF0\x9F\x98\x80"));
  EXPECT_FALSE(IsValidUTF8("\xC0\xAF"));      // overlong
  EXPECT_FALSE(IsValidUTF8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(IsValidUTF8("\xE4\xB8"));      // cut short
  EXPECT_FALSE(IsValidUTF8("\xFF"));
  EXPECT_FALSE(IsValidUTF8("\xF4\x90\x80\x80"));  // past U+10FFFF
}

}  // namespace
}  // namespace vrk
