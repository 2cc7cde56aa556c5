// The badge table against a plain map of the same updates: whatever the prefix, it must read
// back as the dictionary the controller used to keep.
#include "VRKFinderSync/VRKBadgeTable.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace vrk {
namespace {

void ExpectSameAs(const VRKBadgeTable& table, const std::map<std::string, std::int64_t>& model) {
  ASSERT_EQ(table.size(), model.size());
  ObjectDictionary read = table.dictionary();
  ASSERT_EQ(read.size(), model.size());
  for (const auto& [path, type] : model) {
    auto found = read.find(path);
    ASSERT_NE(found, read.end()) << path;
    EXPECT_EQ(found->second.numberType(), Object::NumberType::Int64) << path;
    EXPECT_EQ(found->second.integerValue(), type) << path;
    EXPECT_EQ(table.valueForPath(path), type) << path;
  }
}

TEST(BadgeTableTest, ReadsBackAsAMapOfTheSameUpdatesWhateverThePrefix) {
  const std::string root = "/Users/me/Sync";
  // Paths with and without the prefix, the prefix itself, a sibling that shares its start,
  // a path the prefix starts with, the empty path, bytes past a NUL, one longer than a block.
  std::vector<std::string> paths = {root,
                                    root + "/",
                                    root + "Old/a.txt",
                                    "/Users/me/Syn",
                                    "/Users/me",
                                    "",
                                    std::string("/Users/me/Sync/a\0b", 18),
                                    std::string("/Users/me/Sync/a\0c", 18),
                                    root + "/" + std::string(100000, 'x'),
                                    std::string(70000, 'y')};
  for (int i = 0; i < 3000; ++i) {
    paths.push_back(root + "/folder" + std::to_string(i % 37) + "/doc-" + std::to_string(i));
    paths.push_back("/elsewhere/" + std::to_string(i));
  }
  const std::vector<std::int64_t> types = {0,
                                           1,
                                           7,
                                           -1,
                                           std::numeric_limits<std::int64_t>::max(),
                                           std::numeric_limits<std::int64_t>::min()};

  std::mt19937 random(42);
  VRKBadgeTable table;
  std::map<std::string, std::int64_t> model;
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.valueForPath(root), std::nullopt);
  // Several rounds, each after a clear with another prefix, each with updates of paths set
  // before and a check midway and at the end.
  for (const std::string& prefix :
       {std::string(), root, std::string("/Users/me/Sync/"), std::string("/elsewhere/1"), root}) {
    table.clear(prefix);
    model.clear();
    EXPECT_TRUE(table.empty());
    EXPECT_TRUE(table.dictionary().empty());
    for (int i = 0; i < 12000; ++i) {
      const std::string& path = paths[random() % paths.size()];
      const std::int64_t type = types[random() % types.size()];
      table.setValue(type, path);
      model[path] = type;
      if (i == 500) ExpectSameAs(table, model);
    }
    ExpectSameAs(table, model);
    EXPECT_EQ(table.valueForPath("/Users/me/Sync/not-set"), std::nullopt);
    EXPECT_EQ(table.valueForPath(std::string("/Users/me/Sync/a\0d", 18)), std::nullopt);
  }
}

}  // namespace
}  // namespace vrk
