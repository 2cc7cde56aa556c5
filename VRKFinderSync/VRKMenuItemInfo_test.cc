#include "VRKFinderSync/VRKMenuItemInfo.h"

#include <gtest/gtest.h>

namespace vrk {
namespace {

Object Dict(ObjectDictionary d) {
  return Object(std::move(d));
}

TEST(VRKMenuItemInfo, RoundTripsThroughItsDictionaryForm) {
  const Object stored = Dict({{"title", Object("A")}, {"command", Object::numberWithInteger(8)}});
  auto info = VRKMenuItemInfo::menuItemInfoWithDictionary(stored);
  EXPECT_EQ(info->title(), "A");
  EXPECT_EQ(info->command(), 8);
  EXPECT_EQ(info->toDictionary(), stored);
  EXPECT_EQ(info->toDictionary().objectForKey("command").numberType(), Object::NumberType::Int64);

  auto made = VRKMenuItemInfo::menuItemInfoWithTitle("Prefix - Share", 4);
  auto back = VRKMenuItemInfo::menuItemInfoWithDictionary(made->toDictionary());
  EXPECT_EQ(back->title(), made->title());
  EXPECT_EQ(back->command(), made->command());
  EXPECT_EQ(made->toDictionary().count(), 2u);
}

TEST(VRKMenuItemInfo, ReadsMissingAndMistypedValuesAsNilAndZero) {
  auto empty = VRKMenuItemInfo::menuItemInfoWithDictionary(Dict({}));
  EXPECT_EQ(empty->title(), std::nullopt);
  EXPECT_EQ(empty->command(), 0);

  // A command written as text is read with integerValue: its leading decimal integer.
  EXPECT_EQ(
      VRKMenuItemInfo::menuItemInfoWithDictionary(Dict({{"command", Object("9")}}))->command(), 9);
  EXPECT_EQ(VRKMenuItemInfo::menuItemInfoWithDictionary(Dict({{"command", Object("  10 files")}}))
                ->command(),
            10);
  EXPECT_EQ(
      VRKMenuItemInfo::menuItemInfoWithDictionary(Dict({{"command", Object("x9")}}))->command(), 0);
  EXPECT_EQ(
      VRKMenuItemInfo::menuItemInfoWithDictionary(Dict({{"command", Object::numberWithBool(true)}}))
          ->command(),
      1);

  // Values of no usable kind: nil title, command 0.
  auto odd = VRKMenuItemInfo::menuItemInfoWithDictionary(
      Dict({{"title", Object::numberWithInteger(5)},
            {"command", Object(ObjectArray{Object::numberWithInteger(4)})}}));
  EXPECT_EQ(odd->title(), std::nullopt);
  EXPECT_EQ(odd->command(), 0);
  auto notADictionary = VRKMenuItemInfo::menuItemInfoWithDictionary(Object("title"));
  EXPECT_EQ(notADictionary->title(), std::nullopt);
  EXPECT_EQ(notADictionary->command(), 0);
}

TEST(VRKMenuItemInfo, KeepsItsOwnCopyOfTheTitle) {
  std::string title = "Lock file";
  auto info = VRKMenuItemInfo::menuItemInfoWithTitle(title, 8);
  title += " (changed)";
  EXPECT_EQ(info->title(), "Lock file");

  // A nil title is left out of the dictionary and comes back as nil.
  info->setTitle(std::nullopt);
  Object dictionary = info->toDictionary();
  EXPECT_EQ(dictionary, Dict({{"command", Object::numberWithInteger(8)}}));
  EXPECT_EQ(VRKMenuItemInfo::menuItemInfoWithDictionary(dictionary)->title(), std::nullopt);
}

}  // namespace
}  // namespace vrk
