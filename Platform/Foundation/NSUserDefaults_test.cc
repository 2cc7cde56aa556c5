#include "Platform/Foundation/NSUserDefaults.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <thread>

#include "Platform/Foundation/NSLog.h"

extern char** environ;

namespace vrk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kSuite = "group.test.defaults";

std::optional<ObjectDictionary> Parse(std::string_view text) {
  return ParseSettingsFile(std::as_bytes(std::span(text)), "test input");
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
}

std::string Nested(int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += "{\"k\":";
  s += "1";
  for (int i = 0; i < depth; ++i) s += "}";
  return s;
}

// ---- The file format ------------------------------------------------------------------------

TEST(SettingsCodec, RoundTripsEveryStorableTypeKeepingNumberKinds) {
  const char kText[] = "tab\t quote\" backslash\\ nul\0 ctl\x01 \xE4\xB8\xAD\xF0\x9F\x98\x80";
  const ObjectDictionary values{
      {"string", Object(std::string(kText, sizeof kText - 1))},
      {"empty", Object("")},
      {"max", Object::numberWithInteger(INT64_MAX)},
      {"min", Object::numberWithInteger(INT64_MIN)},
      {"yes", Object::numberWithBool(true)},
      {"no", Object::numberWithBool(false)},
      {"array",
       Object(ObjectArray{Object("a"), Object::numberWithInteger(2), Object(ObjectArray{})})},
      {"dict", Object(ObjectDictionary{{"inner", Object(ObjectDictionary{})},
                                       {"", Object::numberWithInteger(-1)}})},
  };

  std::string text = SerializeSettings(values);
  EXPECT_NE(text.find("\"yes\": true"), std::string::npos) << text;
  EXPECT_NE(text.find("\"no\": false"), std::string::npos) << text;
  std::optional<ObjectDictionary> parsed = Parse(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, values);
  EXPECT_EQ(parsed->at("yes").numberType(), Object::NumberType::Bool);
  EXPECT_EQ(parsed->at("max").numberType(), Object::NumberType::Int64);
  EXPECT_EQ(SerializeSettings(*parsed), text);
  EXPECT_EQ(SerializeSettings({}), "{}\n");
}

TEST(SettingsCodec, RejectsWhatTheFileCannotHoldWithOneLogLine) {
  const std::string bad[] = {
      "",
      "  \n",
      "[]",
      "\"just a string\"",
      "{\"a\":\"\xC0\xAF\"}",      // overlong
      "{\"a\":\"\xED\xA0\x80\"}",  // surrogate
      "{\"a\":\"\xE4\xB8\"}",      // cut sequence
      "{\"\xFF\":1}",              // bad key
      "{\"a\":\"\\ud800\"}",       // lone surrogate escape
      "{\"a\":",                   // truncated
      "{} x",                      // trailing bytes
      "{}{}",
      std::string("{\"a\":1}\0{\"b\":[", 15),  // a NUL does not end the document
      std::string("{\"a\":1}\0", 8),
      std::string("{\"a\":\"x\0y\"}", 11),
      std::string("\x00\x01\x02\xFF", 4),
      Nested(kMaxSettingsDepth + 1),  // the top object counts as a level
  };
  for (const std::string& text : bad) {
    LogCapture log;
    EXPECT_FALSE(Parse(text)) << text;
    ASSERT_EQ(log.lines().size(), 1u) << text;
    EXPECT_NE(log.lines()[0].find("test input"), std::string::npos) << log.lines()[0];
  }
  std::optional<ObjectDictionary> deepest = Parse(Nested(kMaxSettingsDepth));
  ASSERT_TRUE(deepest);
  EXPECT_EQ(*Parse(SerializeSettings(*deepest)), *deepest);
  EXPECT_EQ(Parse("\xEF\xBB\xBF {\"a\":-9223372036854775808, \"a\": 2}")->at("a"),
            Object::numberWithInteger(2));
}

TEST(SettingsCodec, LeavesOutOnlyTheValuesTheStoreCannotHoldAndLogsEachKeyOnce) {
  LogCapture log;
  std::vector<std::string> skipped;
  std::optional<ObjectDictionary> parsed = ParseSettingsFile(
      std::as_bytes(std::span(std::string_view(
          R"({"rootFolderPath":"/home/me/Sync","windowScale":1.5,"gone":null,)"
          R"("list":[1,2.5,null,"x",[1e3]],"nested":{"keep":true,"drop":-0.0},)"
          R"("huge":18446744073709551616,"above":9223372036854775808,"max":9223372036854775807})"))),
      "test input", &skipped);
  ASSERT_TRUE(parsed);
  const ObjectDictionary expected{
      {"rootFolderPath", Object("/home/me/Sync")},
      {"list",
       Object(ObjectArray{Object::numberWithInteger(1), Object("x"), Object(ObjectArray{})})},
      {"nested", Object(ObjectDictionary{{"keep", Object::numberWithBool(true)}})},
      {"max", Object::numberWithInteger(INT64_MAX)},
  };
  EXPECT_EQ(*parsed, expected);
  EXPECT_EQ(skipped,
            (std::vector<std::string>{"windowScale", "gone", "list", "nested", "huge", "above"}));
  ASSERT_EQ(log.lines().size(), skipped.size());  // one line per key, not per value
  EXPECT_EQ(log.countContaining("a floating-point number under the key \"windowScale\""), 1u);
  EXPECT_EQ(log.countContaining("null under the key \"gone\""), 1u);
  EXPECT_EQ(
      log.countContaining("an integer outside the signed 64-bit range under the key \"huge\""), 1u);
  EXPECT_EQ(log.countContaining("floating"), 3u);  // windowScale, list and nested
}

// ---- One process ----------------------------------------------------------------------------

class DefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/vrk.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    root_ = dir;
    ::setenv("VRK_ROOT", dir, 1);
  }
  void TearDown() override {
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(root_, ec)) {
      if (entry.is_directory()) fs::permissions(entry.path(), fs::perms::owner_all, ec);
    }
    fs::remove_all(root_, ec);
    ::unsetenv("VRK_ROOT");
  }

  std::shared_ptr<NSUserDefaults> Open(std::string_view suite = kSuite) {
    auto defaults = NSUserDefaults::initWithSuiteName(suite);
    EXPECT_TRUE(defaults);
    return defaults;
  }
  fs::path Folder() const {
    return root_ / "home/Library/Group Containers" / kSuite / "Library/Preferences";
  }
  fs::path File() const { return Folder() / (std::string(kSuite) + ".sqlite"); }
  fs::path Aside() const { return File().string() + ".corrupt"; }
  fs::path Json() const { return Folder() / (std::string(kSuite) + ".json"); }
  // What a fresh object of the suite reads: the store as other processes see it.
  ObjectDictionary Stored() { return Open()->dictionaryRepresentation(); }

  fs::path root_;
};

TEST_F(DefaultsTest, ValuesRoundTripThroughTheStore) {
  auto writer = Open();
  auto reader = Open();
  ASSERT_TRUE(writer && reader);
  EXPECT_EQ(writer->filePath(), File());

  ObjectDictionary badges{{"/root/a", Object::numberWithInteger(2)}};
  const ObjectDictionary expected = badges;
  const ObjectArray menu{Object(
      ObjectDictionary{{"title", Object("Share")}, {"command", Object::numberWithInteger(4)}})};
  writer->setObject(Object("/root"), "kRootFolderPathKey");
  writer->setObject(Object::numberWithBool(true), "kHideBadgeKey");
  writer->setObject(Object::numberWithInt(7), "int");
  writer->setObject(Object(badges), "kBadgeCacheKey");
  writer->setObject(Object(menu), "kVRKMenuItemsKey");
  badges["/root/b"] = Object::numberWithInteger(3);  // the store took a copy

  EXPECT_EQ(writer->objectForKey("kRootFolderPathKey"), Object("/root"));
  EXPECT_TRUE(reader->objectForKey("kRootFolderPathKey").isNil());
  EXPECT_TRUE(Stored().empty());

  ASSERT_TRUE(writer->synchronize());
  EXPECT_EQ(reader->objectForKey("kRootFolderPathKey"), Object("/root"));
  Object hide = reader->objectForKey("kHideBadgeKey");
  EXPECT_EQ(hide.numberType(), Object::NumberType::Bool);
  EXPECT_TRUE(hide.boolValue());
  EXPECT_EQ(reader->objectForKey("int"), Object::numberWithInteger(7));
  EXPECT_EQ(reader->objectForKey("kBadgeCacheKey"), Object(expected));
  EXPECT_EQ(reader->objectForKey("kVRKMenuItemsKey"), Object(menu));
  EXPECT_TRUE(reader->objectForKey("missing").isNil());
  EXPECT_EQ(fs::status(File()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(writer->synchronize());  // nothing pending
}

TEST_F(DefaultsTest, UnstorableValuesAreLoggedAndIgnored) {
  auto defaults = Open();
  defaults->setObject(Object("kept"), "k");
  Object tooDeep = Object::numberWithInteger(1);
  for (int i = 0; i < kMaxSettingsDepth; ++i) tooDeep = Object(ObjectArray{tooDeep});
  const Object bad[] = {Object(ObjectData{1}),
                        Object::valueWithPointer(this),
                        Object("\xFF"),
                        Object(ObjectDictionary{{"x", Object(ObjectArray{Object(ObjectData{})})}}),
                        tooDeep,
                        Object(std::string(kMaxSettingsValueBytes + 1, 'x'))};
  for (const Object& value : bad) {
    LogCapture log;
    defaults->setObject(value, "k");
    EXPECT_EQ(log.lines().size(), 1u);
  }
  LogCapture log;
  defaults->setObject(Object("v"), "\xC3");
  EXPECT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(defaults->objectForKey("k"), Object("kept"));
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(Stored(), (ObjectDictionary{{"k", Object("kept")}}));
}

TEST_F(DefaultsTest, RefusesBadSuiteNamesAndUncreatableFolders) {
  for (std::string_view name : {"", "a/b", "..", "a..b", ".", "/abs"}) {
    LogCapture log;
    EXPECT_FALSE(NSUserDefaults::initWithSuiteName(name)) << name;
    EXPECT_EQ(log.lines().size(), 1u) << name;
  }
  WriteAll(root_ / "home", "a file where the home folder should be");
  LogCapture log;
  EXPECT_FALSE(NSUserDefaults::initWithSuiteName(kSuite));
  EXPECT_EQ(log.lines().size(), 1u);
}

// Runs `sql` on `file` through a connection of its own; the first column of the last row as an
// integer (0 when there is none), or -1 when a statement failed.
std::int64_t Sql(const fs::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  std::int64_t result = -1;
  if (sqlite3_open(file.c_str(), &db) == SQLITE_OK) {
    result = 0;
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* s = nullptr;
    const char* tail = sql.c_str();
    while (*tail && sqlite3_prepare_v2(db, tail, -1, &s, &tail) == SQLITE_OK && s) {
      int rc;
      while ((rc = sqlite3_step(s)) == SQLITE_ROW) result = sqlite3_column_int64(s, 0);
      if (rc != SQLITE_DONE) result = -1;
      sqlite3_finalize(s);
    }
  }
  sqlite3_close(db);
  return result;
}

TEST_F(DefaultsTest, StoresThatAreNotOursOpenEmptyAndAreKeptAside) {
  // A good store to damage in several ways.
  auto good = [&] {
    fs::remove_all(Folder());
    auto defaults = Open();
    for (int i = 0; i < 200; ++i) {
      defaults->setObject(Object(std::string(100, 'v')), "k" + std::to_string(i));
    }
    EXPECT_TRUE(defaults->synchronize());
    defaults.reset();  // checkpoints and removes the log
    std::ifstream in(File(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  const std::string bytes = good();
  ASSERT_GT(bytes.size(), 8192u);
  const std::pair<std::string, std::function<void()>> damages[] = {
      {"truncated", [&] { WriteAll(File(), bytes.substr(0, 100)); }},
      {"garbage", [&] { WriteAll(File(), std::string(8192, '\x5A')); }},
      {"an ELF file",
       [&] {
         WriteAll(File(), std::string("\x7F"
                                      "ELF\x02\x01\x01",
                                      7));
       }},
      {"a folder", [&] { fs::create_directory(File()); }},
      {"a symlink", [&] { fs::create_symlink(root_ / "elsewhere.sqlite", File()); }},
      {"a symlink loop", [&] { fs::create_symlink(File(), File()); }},
      {"another schema", [&] { Sql(File(), "CREATE TABLE t(a, b); INSERT INTO t VALUES(1, 2);"); }},
      {"our id on another schema",
       [&] {
         Sql(File(),
             "CREATE TABLE t(a); PRAGMA application_id=1448234820; "
             "PRAGMA user_version=1;");
       }},
  };
  for (const auto& [what, damage] : damages) {
    good();
    fs::remove(File());
    damage();
    LogCapture log;
    auto defaults = Open();
    EXPECT_EQ(log.countContaining("kept aside"), 1u) << what;
    EXPECT_TRUE(fs::exists(fs::symlink_status(Aside()))) << what;
    EXPECT_TRUE(defaults->objectForKey("k1").isNil()) << what;
    defaults->setObject(Object("after"), "k");
    EXPECT_TRUE(defaults->synchronize()) << what;
    EXPECT_EQ(Stored(), (ObjectDictionary{{"k", Object("after")}})) << what;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(File()))) << what;
    EXPECT_FALSE(fs::exists(root_ / "elsewhere.sqlite")) << what;
  }
  // An empty file is an empty database, not a bad one.
  fs::remove_all(Folder());
  fs::create_directories(Folder());
  WriteAll(File(), "");
  LogCapture log;
  auto defaults = Open();
  defaults->setObject(Object("v"), "k");
  EXPECT_TRUE(defaults->synchronize());
  EXPECT_EQ(log.countContaining("kept aside"), 0u);
}

TEST_F(DefaultsTest, AValueTheStoreCannotHoldCostsOnlyThatValue) {
  fs::create_directories(Folder());
  WriteAll(Json(), R"({"rootFolderPath":"/home/me/Sync","windowScale":1.5})");
  LogCapture log;
  auto defaults = Open();
  EXPECT_EQ(defaults->objectForKey("rootFolderPath"), Object("/home/me/Sync"));
  EXPECT_TRUE(defaults->objectForKey("windowScale").isNil());
  EXPECT_EQ(log.countContaining("windowScale"), 1u);
  EXPECT_EQ(log.countContaining("kept aside"), 0u);
  EXPECT_FALSE(fs::exists(Json().string() + ".corrupt"));
  defaults->setObject(Object::numberWithInteger(1), "mine");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(Stored(), (ObjectDictionary{{"rootFolderPath", Object("/home/me/Sync")},
                                        {"mine", Object::numberWithInteger(1)}}));
}

TEST_F(DefaultsTest, PendingChangesWinUntilSynchronizedThenMerge) {
  auto mine = Open();
  auto theirs = Open();
  mine->setObject(Object("a"), "removed");
  mine->setObject(Object("b"), "nil");
  ASSERT_TRUE(mine->synchronize());

  mine->setObject(Object("mine"), "shared");
  mine->removeObjectForKey("removed");
  mine->setObject(Object(), "nil");
  theirs->setObject(Object("theirs"), "shared");
  theirs->setObject(Object::numberWithInteger(1), "other");
  ASSERT_TRUE(theirs->synchronize());
  EXPECT_EQ(mine->objectForKey("shared"), Object("mine"));
  EXPECT_TRUE(mine->objectForKey("removed").isNil());
  EXPECT_EQ(mine->objectForKey("other"), Object::numberWithInteger(1));  // reloaded
  EXPECT_EQ(theirs->objectForKey("removed"), Object("a"));

  ASSERT_TRUE(mine->synchronize());
  EXPECT_EQ(Stored(), (ObjectDictionary{{"shared", Object("mine")},
                                        {"other", Object::numberWithInteger(1)}}));
  EXPECT_TRUE(theirs->objectForKey("nil").isNil());
}

// A file-size limit makes every write past it fail as a full disk would.
TEST_F(DefaultsTest, FailedWriteKeepsTheOldFileAndThePendingChanges) {
  auto defaults = Open();
  defaults->setObject(Object("old"), "k");
  ASSERT_TRUE(defaults->synchronize());
  const ObjectDictionary before = Stored();

  defaults->setObject(Object(std::string(100'000, 'x')), "k");
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  auto* oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  LogCapture log;
  const bool result = defaults->synchronize();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(result);
  EXPECT_GE(log.lines().size(), 1u);
  EXPECT_EQ(Stored(), before);
  EXPECT_EQ(defaults->objectForKey("k").count(), 100'000u);
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(Open()->objectForKey("k").count(), 100'000u);
}

TEST_F(DefaultsTest, DictionaryEntriesReadAsTheWholeDictionaryWithTheEntryChanged) {
  auto writer = Open();
  auto reader = Open();
  const ObjectDictionary start{{"/a", Object::numberWithInteger(1)},
                               {"/b", Object::numberWithInteger(2)}};
  writer->setObject(Object(start), "cache");
  ASSERT_TRUE(writer->synchronize());

  writer->setObjectInDictionary(Object::numberWithInteger(3), "/b", "cache");
  writer->setObjectInDictionary(Object(ObjectArray{Object("x")}), "/c", "cache");
  writer->setObjectInDictionary(Object(), "/a", "cache");
  const ObjectDictionary expected{{"/b", Object::numberWithInteger(3)},
                                  {"/c", Object(ObjectArray{Object("x")})}};
  EXPECT_EQ(writer->objectForKey("cache"), Object(expected));
  EXPECT_EQ(reader->objectForKey("cache"), Object(start));
  ASSERT_TRUE(writer->synchronize());
  EXPECT_EQ(reader->objectForKey("cache"), Object(expected));

  // A key that holds no dictionary counts as an empty one; a pending whole value takes the
  // entry in place.
  writer->setObject(Object("text"), "other");
  ASSERT_TRUE(writer->synchronize());
  writer->setObjectInDictionary(Object::numberWithBool(true), "e", "other");
  writer->setObject(Object(ObjectDictionary{{"w", Object("whole")}}), "pending");
  writer->setObjectInDictionary(Object("entry"), "e", "pending");
  writer->setObjectInDictionary(Object("new"), "e", "absent");
  ASSERT_TRUE(writer->synchronize());
  EXPECT_EQ(reader->objectForKey("other"),
            Object(ObjectDictionary{{"e", Object::numberWithBool(true)}}));
  EXPECT_EQ(reader->objectForKey("pending"),
            Object(ObjectDictionary{{"w", Object("whole")}, {"e", Object("entry")}}));
  EXPECT_EQ(reader->objectForKey("absent"), Object(ObjectDictionary{{"e", Object("new")}}));

  // Two writers of different entries of one dictionary lose nothing.
  reader->setObjectInDictionary(Object::numberWithInteger(9), "/r", "cache");
  writer->setObjectInDictionary(Object::numberWithInteger(8), "/w", "cache");
  ASSERT_TRUE(reader->synchronize());
  ASSERT_TRUE(writer->synchronize());
  EXPECT_EQ(Open()->objectForKey("cache").count(), 4u);

  LogCapture log;
  writer->setObjectInDictionary(Object(ObjectData{1}), "bad", "cache");
  writer->setObjectInDictionary(Object("v"), "\xFF", "cache");
  EXPECT_EQ(log.lines().size(), 2u);
}

// The WAL holds, after a checkpoint, exactly the pages that the following commits wrote.
std::int64_t WalFramesAfter(const fs::path& file, const std::function<void()>& commit) {
  sqlite3* db = nullptr;
  std::int64_t frames = -1;
  if (sqlite3_open(file.c_str(), &db) == SQLITE_OK) {
    int log = 0, done = 0;
    // A connection learns that the file is in WAL mode on its first read.
    sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
    // The store's own checkpoint thread may be copying the log at this moment, and a checkpoint
    // does not wait for another one.
    auto checkpoint = [&](int mode) {
      int rc;
      for (int i = 0;
           (rc = sqlite3_wal_checkpoint_v2(db, nullptr, mode, &log, &done)) == SQLITE_BUSY &&
           i < 1000;
           ++i) {
        std::this_thread::sleep_for(10ms);
      }
      EXPECT_EQ(rc, SQLITE_OK) << sqlite3_errmsg(db);
      return rc;
    };
    checkpoint(SQLITE_CHECKPOINT_TRUNCATE);
    commit();
    if (checkpoint(SQLITE_CHECKPOINT_PASSIVE) == SQLITE_OK) frames = log;
  }
  sqlite3_close(db);
  return frames;
}

TEST_F(DefaultsTest, OneEntryOfALargeDictionaryWritesAHandfulOfPages) {
  auto defaults = Open();
  ObjectDictionary cache;
  for (int i = 0; i < 100'000; ++i) {
    cache.emplace("/Users/me/Sync/folder-" + std::to_string(i % 512) + "/document-" +
                      std::to_string(i) + ".txt",
                  Object::numberWithInteger(i % 6));
  }
  const std::int64_t whole = WalFramesAfter(File(), [&] {
    defaults->setObject(Object(cache), "kBadgeCacheKey");
    ASSERT_TRUE(defaults->synchronize());
  });
  const std::int64_t one = WalFramesAfter(File(), [&] {
    defaults->setObjectInDictionary(Object::numberWithInteger(5), "/Users/me/Sync/new.txt",
                                    "kBadgeCacheKey");
    ASSERT_TRUE(defaults->synchronize());
  });
  EXPECT_GT(whole, 500);
  EXPECT_GE(one, 1);
  EXPECT_LE(one, 5) << "one entry rewrote more than its own page and the path to it";
  cache.emplace("/Users/me/Sync/new.txt", Object::numberWithInteger(5));
  EXPECT_EQ(Open()->objectForKey("kBadgeCacheKey"), Object(cache));
  // A small key is read without the dictionary beside it.
  EXPECT_EQ(WalFramesAfter(File(),
                           [&] {
                             defaults->setObject(Object("/root"), "kRootFolderPathKey");
                             ASSERT_TRUE(defaults->synchronize());
                           }),
            1);
}

TEST_F(DefaultsTest, ValuesAboveTheSizeLimitAreNeitherStoredNorRead) {
  auto defaults = Open();
  defaults->setObject(Object("small"), "k");
  ASSERT_TRUE(defaults->synchronize());
  // Another program wrote a row past the limit; it reads as absent, the rest as it is.
  ASSERT_EQ(Sql(File(), "INSERT INTO settings VALUES('big', '\"' || hex(zeroblob(" +
                            std::to_string(kMaxSettingsValueBytes / 2 + 1) + ")) || '\"')"),
            0);
  LogCapture log;
  auto reader = Open();
  EXPECT_TRUE(reader->objectForKey("big").isNil());
  EXPECT_EQ(reader->objectForKey("k"), Object("small"));
  EXPECT_GE(log.lines().size(), 1u);
}

TEST_F(DefaultsTest, JsonSuitesAreImportedOnceKeepingEveryStorableValue) {
  fs::create_directories(Folder());
  WriteAll(Json(), R"({"root": "/Users/me/Sync", "hide": true, "n": 7,
    "kBadgeCacheKey": {"/Users/me/Sync/a": 2, "/Users/me/Sync/b": 3},
    "menu": [{"title": "Share", "command": 4}],
    "ratio": 0.5, "nothing": null, "deep": {"list": [1, 2.5]}, "huge": 18446744073709551615})");
  const std::string prefix = std::string(".") + kSuite + ".json.tmp.";
  WriteAll(Folder() / (prefix + "1.crashed"), "{");
  WriteAll(Folder() / (std::string(kSuite) + ".json.lock"), "");
  WriteAll(Folder() / "unrelated.tmp", "keep");

  LogCapture log;
  auto defaults = Open();
  const ObjectDictionary expected{
      {"root", Object("/Users/me/Sync")},
      {"hide", Object::numberWithBool(true)},
      {"n", Object::numberWithInteger(7)},
      {"kBadgeCacheKey",
       Object(ObjectDictionary{{"/Users/me/Sync/a", Object::numberWithInteger(2)},
                               {"/Users/me/Sync/b", Object::numberWithInteger(3)}})},
      {"menu", Object(ObjectArray{Object(ObjectDictionary{
                   {"title", Object("Share")}, {"command", Object::numberWithInteger(4)}})})},
      {"deep",
       Object(ObjectDictionary{{"list", Object(ObjectArray{Object::numberWithInteger(1)})}})}};
  EXPECT_EQ(defaults->dictionaryRepresentation(), expected);
  for (const char* key : {"\"ratio\"", "\"nothing\"", "\"deep\"", "\"huge\""}) {
    EXPECT_EQ(log.countContaining(key), 1u) << key;
  }
  EXPECT_EQ(defaults->objectForKey("hide").numberType(), Object::NumberType::Bool);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(Folder())) {
    left.push_back(entry.path().filename());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{
                      std::string(kSuite) + ".sqlite", std::string(kSuite) + ".sqlite-shm",
                      std::string(kSuite) + ".sqlite-wal", std::string(kSuite) + ".sqlite.lock",
                      "unrelated.tmp"}));
  // Once imported, a later change is not undone by a second start.
  defaults->setObject(Object(), "root");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_TRUE(Open()->objectForKey("root").isNil());

  // A file that is not JSON at all is kept aside, untouched.
  fs::remove_all(Folder());
  fs::create_directories(Folder());
  WriteAll(Json(), "{\"k\": \"unterminated");
  auto fresh = Open();
  EXPECT_TRUE(fresh->dictionaryRepresentation().empty());
  EXPECT_EQ(ReadAll(Json().string() + ".corrupt"), "{\"k\": \"unterminated");
  EXPECT_FALSE(fs::exists(Json()));
}

// ---- Several processes ----------------------------------------------------------------------

// Runs this test binary as a helper process (see HelperMain).
class Child {
 public:
  explicit Child(std::vector<std::string> args, bool withPipes = false) {
    args.insert(args.begin(), {"/proc/self/exe", "--defaults-helper"});
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int toChild[2] = {-1, -1}, fromChild[2] = {-1, -1};
    if (withPipes) {
      EXPECT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
      EXPECT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
      posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
      posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    }
    EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    if (withPipes) {
      ::close(toChild[0]);
      ::close(fromChild[1]);
      in_ = toChild[1];
      out_ = ::fdopen(fromChild[0], "r");
    }
  }
  ~Child() {
    if (in_ >= 0) ::close(in_);
    if (out_) ::fclose(out_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
  }

  // Sends one line and returns the child's one-line answer.
  std::string ask(const std::string& line) {
    std::string text = line + "\n";
    EXPECT_EQ(::write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    char answer[64] = {};
    if (!std::fgets(answer, sizeof answer, out_)) return "";
    return std::string(answer, std::strcspn(answer, "\n"));
  }
  // The child's next line, or "" at its end.
  std::string read() {
    char answer[64] = {};
    if (!std::fgets(answer, sizeof answer, out_)) return "";
    return std::string(answer, std::strcspn(answer, "\n"));
  }
  void kill() { ::kill(pid_, SIGKILL); }
  void stop() { ::kill(pid_, SIGSTOP); }
  // The exit status, or 128 + the signal that ended it.
  int wait() {
    while (pid_ > 0 && ::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }
  bool running() {
    if (pid_ > 0 && ::waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
    return pid_ > 0;
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  int in_ = -1;
  FILE* out_ = nullptr;
};

using DefaultsCrossProcess = DefaultsTest;

// Values of varying size, so that a partial change could not pass for a whole one.
std::size_t PayloadSize(std::int64_t i) {
  return 1 + static_cast<std::size_t>(i * 7919) % 6000;
}

TEST_F(DefaultsCrossProcess, ConcurrentWritersLoseNothing) {
  constexpr int kKeys = 1000;
  Child a({"write", kSuite, "a", std::to_string(kKeys)});
  Child b({"write", kSuite, "b", std::to_string(kKeys)});
  EXPECT_EQ(a.wait(), 0);
  EXPECT_EQ(b.wait(), 0);
  auto reader = Open();
  for (std::string prefix : {"a", "b"}) {
    for (int i = 0; i < kKeys; ++i) {
      ASSERT_EQ(reader->objectForKey(prefix + std::to_string(i)), Object::numberWithInteger(i));
    }
  }
}

// The writer changes a key and two entries of a dictionary in each synchronize; every read
// must show all three from the same change, and never go back.
void ExpectOneWholeChange(const Object& state, std::int64_t counter) {
  const std::int64_t inDictionary = state.objectForKey("counter").integerValue();
  ASSERT_EQ(state.objectForKey("payload").count(), PayloadSize(inDictionary));
  ASSERT_GE(counter, inDictionary);
}

TEST_F(DefaultsCrossProcess, ReaderNeverSeesAPartialOrStaleChange) {
  auto reader = Open();
  Child writer({"churn", kSuite, "3000"});
  std::int64_t last = -1;
  while (writer.running()) {
    const Object state = reader->objectForKey("state");
    const std::int64_t counter = reader->objectForKey("counter").integerValue();
    if (state.isNil()) continue;
    ExpectOneWholeChange(state, counter);
    const ObjectDictionary all = reader->dictionaryRepresentation();
    ASSERT_EQ(all.at("counter"), all.at("state").objectForKey("counter"));
    ASSERT_GE(counter, last) << "went back to an older version";
    last = counter;
  }
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_EQ(reader->objectForKey("counter"), Object::numberWithInteger(2999));
  EXPECT_GT(last, -1);
}

TEST_F(DefaultsCrossProcess, ValueIsVisibleAsSoonAsSynchronizeReturns) {
  auto reader = Open();
  Child writer({"serve", kSuite}, true);
  for (int i = 0; i < 100; ++i) {
    // Same-sized values written back to back: only a proper change check tells them apart.
    const char digit = static_cast<char>('0' + i % 10);
    const std::string value{'v', digit};
    ASSERT_EQ(writer.ask(std::string{'k', ' ', 'v', digit}), "ok");
    ASSERT_EQ(reader->objectForKey("k"), Object(value)) << i;
  }
}

TEST_F(DefaultsCrossProcess, KilledWriterKeepsEveryCommittedChangeAndNoPartialOne) {
  std::mt19937 random(42);
  for (int round = 0; round < 5; ++round) {
    Child writer({"churn", kSuite, "10000", "report"}, true);
    // Killed somewhere in the middle of its 10,000 changes.
    const int stopAfter = 200 + static_cast<int>(random() % 3000);
    std::int64_t committed = -1;
    for (std::string line; committed < stopAfter && !(line = writer.read()).empty();) {
      committed = std::atoll(line.c_str());
    }
    writer.kill();
    EXPECT_EQ(writer.wait(), 128 + SIGKILL);
    auto defaults = Open();
    const std::int64_t counter = defaults->objectForKey("counter").integerValue();
    // The change being made when the signal came may or may not have been committed.
    EXPECT_GE(counter, committed) << "round " << round;
    ExpectOneWholeChange(defaults->objectForKey("state"), counter);
  }
  auto defaults = Open();
  defaults->setObject(Object("after"), "k");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_FALSE(fs::exists(Aside()));
}

// Another process holds the write lock and is stopped: the writer gives up after the bounded
// wait, keeps its change pending, and writes it once the holder is gone.
TEST_F(DefaultsCrossProcess, StoppedLockHolderCostsABoundedWait) {
  auto defaults = Open();
  Child holder({"hold", kSuite}, true);
  ASSERT_EQ(holder.read(), "held");
  holder.stop();
  defaults->setObject(Object("v"), "k");
  LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(defaults->synchronize());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(log.countContaining("another writer holds it"), 1u);
  EXPECT_EQ(defaults->objectForKey("k"), Object("v"));
  EXPECT_TRUE(Open()->objectForKey("k").isNil());  // readers are not blocked
  holder.kill();
  holder.wait();
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(Open()->objectForKey("k"), Object("v"));
}

// A store that may only be read: a read-only mount, or a folder and files without write
// permission.
TEST_F(DefaultsCrossProcess, ReadOnlyStoreKeepsTheOldValues) {
  auto defaults = Open();
  defaults->setObject(Object("old"), "k");
  ASSERT_TRUE(defaults->synchronize());
  const ObjectDictionary before = Stored();
  // Root ignores permissions, so the helper then drops to nobody, who owns the tree.
  if (::geteuid() == 0) {
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
      ASSERT_EQ(::lchown(entry.path().c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(::chown(root_.c_str(), 65534, 65534), 0);
  }
  for (const auto& entry : fs::directory_iterator(Folder())) {
    fs::permissions(entry.path(), fs::perms::owner_read);
  }
  fs::permissions(Folder(), fs::perms::owner_read | fs::perms::owner_exec);
  Child writer({"readonly-sync", kSuite});
  EXPECT_EQ(writer.wait(), 0) << "synchronize did not return false, or the old value was lost";
  EXPECT_EQ(Stored(), before);
}

// A badge cache held entry by entry, as the controller keeps it, and a plain key.
void WriteBadges(NSUserDefaults& defaults, int from, int to) {
  for (int i = from; i < to; ++i) {
    defaults.setObjectInDictionary(Object::numberWithInteger(i % 4), "/s/" + std::to_string(i),
                                   "kBadgeCacheKey");
  }
  defaults.setObject(Object::numberWithInteger(to), "count");
}

void ExpectBadges(const ObjectDictionary& stored, int count, const std::string& what) {
  ASSERT_TRUE(stored.contains("count")) << what;
  EXPECT_EQ(stored.at("count"), Object::numberWithInteger(count)) << what;
  ASSERT_TRUE(stored.contains("kBadgeCacheKey")) << what;
  const ObjectDictionary* badges = stored.at("kBadgeCacheKey").dictionary();
  ASSERT_TRUE(badges) << what;
  EXPECT_EQ(badges->size(), static_cast<std::size_t>(count)) << what;
  EXPECT_EQ(badges->at("/s/0"), Object::numberWithInteger(0)) << what;
  EXPECT_EQ(badges->at("/s/" + std::to_string(count - 1)),
            Object::numberWithInteger((count - 1) % 4))
      << what;
}

// Removing or replacing the files of an open store (a user cleaning the folder, a sync of it)
// must not send the writer's later changes into a file no one else can see, nor lose what the
// store held: the next synchronize opens the store again and writes everything back.
TEST_F(DefaultsTest, AStoreRemovedOrReplacedWhileOpenComesBackWhole) {
  const fs::path wal = File().string() + "-wal", shm = File().string() + "-shm";
  auto removeAll = [&] {
    for (const fs::path& f : {File(), wal, shm}) ASSERT_TRUE(fs::remove(f)) << f;
  };
  const std::pair<std::string, std::function<void()>> damages[] = {
      {"removed", removeAll},
      {"replaced by garbage",
       [&] {
         removeAll();
         WriteAll(File(), std::string(8192, '\x5A'));
       }},
      {"a symlink loop",
       [&] {
         removeAll();
         fs::create_symlink(File(), File());
       }},
      {"its log files removed",
       [&] {
         ASSERT_TRUE(fs::remove(wal));
         ASSERT_TRUE(fs::remove(shm));
       }},
      {"its log replaced by a folder",
       [&] {
         ASSERT_TRUE(fs::remove(wal));
         fs::create_directory(wal);
       }},
      {"the folder removed", [&] { fs::remove_all(Folder()); }},
  };
  for (const auto& [what, damage] : damages) {
    fs::remove_all(root_ / "home");
    auto writer = Open();
    WriteBadges(*writer, 0, 300);
    ASSERT_TRUE(writer->synchronize()) << what;
    ASSERT_TRUE(fs::exists(wal) && fs::exists(shm)) << what;
    damage();
    LogCapture log;
    WriteBadges(*writer, 300, 310);
    EXPECT_TRUE(writer->synchronize()) << what;
    EXPECT_EQ(log.countContaining("the store is opened again"), 1u) << what;
    // Another object opens the path afresh, as another process would.
    ExpectBadges(Stored(), 310, what);
    WriteBadges(*writer, 310, 311);
    EXPECT_TRUE(writer->synchronize()) << what;
    ExpectBadges(Stored(), 311, what);
    EXPECT_EQ(log.countContaining("the store is opened again"), 1u) << what;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(File()))) << what;
  }
}

// A log or shared-memory file that SQLite can neither use nor replace is moved aside like a bad
// database, and what the database held is still read.
TEST_F(DefaultsTest, ALogThatIsNotAFileIsKeptAsideAndTheValuesStay) {
  const fs::path wal = File().string() + "-wal", shm = File().string() + "-shm";
  const std::pair<std::string, std::function<void()>> damages[] = {
      {"log a folder", [&] { fs::create_directories(wal / "inner"); }},
      {"log a symlink", [&] { fs::create_symlink(root_ / "elsewhere", wal); }},
      {"log a symlink loop", [&] { fs::create_symlink(wal, wal); }},
      {"shared memory a folder", [&] { fs::create_directory(shm); }},
      {"shared memory a symlink", [&] { fs::create_symlink(root_ / "elsewhere", shm); }},
  };
  for (const auto& [what, damage] : damages) {
    fs::remove_all(root_ / "home");
    {
      auto defaults = Open();
      defaults->setObject(Object("kept"), "k");
      ASSERT_TRUE(defaults->synchronize());
    }  // closing copies the log back and removes it
    ASSERT_FALSE(fs::exists(wal)) << what;
    damage();
    LogCapture log;
    auto defaults = Open();
    EXPECT_EQ(log.countContaining("kept aside"), 1u) << what;
    EXPECT_EQ(defaults->objectForKey("k"), Object("kept")) << what;
    defaults->setObject(Object("after"), "k2");
    EXPECT_TRUE(defaults->synchronize()) << what;
    EXPECT_EQ(Stored(), (ObjectDictionary{{"k", Object("kept")}, {"k2", Object("after")}})) << what;
    EXPECT_FALSE(fs::exists(root_ / "elsewhere")) << what;
  }
  // A file where the Preferences folder should be is kept aside too.
  fs::remove_all(root_ / "home");
  fs::create_directories(Folder().parent_path());
  WriteAll(Folder(), "not a folder");
  LogCapture log;
  auto defaults = Open();
  ASSERT_TRUE(defaults);
  EXPECT_EQ(log.countContaining("is not a folder; it is kept aside"), 1u);
  EXPECT_EQ(ReadAll(Folder().string() + ".corrupt"), "not a folder");
  defaults->setObject(Object("v"), "k");
  EXPECT_TRUE(defaults->synchronize());
  EXPECT_EQ(Stored(), (ObjectDictionary{{"k", Object("v")}}));
}

// The writer runs in its own process and keeps committing while the store's files are removed
// under it; a reader that opens the path afterwards sees the writer's last change and the rest.
TEST_F(DefaultsCrossProcess, AWriterKeepsItsChangesVisibleWhenItsStoreIsRemoved) {
  Child writer({"churn", kSuite, "3000", "report"}, true);
  for (int seen = 0; seen < 200; ++seen) ASSERT_NE(writer.read(), "");
  for (const std::string suffix : {"", "-wal", "-shm"}) {
    std::error_code ec;
    fs::remove(File().string() + suffix, ec);
  }
  while (!writer.read().empty()) {
  }
  EXPECT_EQ(writer.wait(), 0);
  const ObjectDictionary stored = Stored();
  ASSERT_TRUE(stored.contains("counter"));
  EXPECT_EQ(stored.at("counter"), Object::numberWithInteger(2999));
  ExpectOneWholeChange(stored.at("state"), 2999);
  EXPECT_EQ(stored.at("state").objectForKey("counter"), Object::numberWithInteger(2999));
}

// The helper side of the cross-process tests.
int HelperMain(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string mode = argv[2];
  if (mode == "readonly-sync" && ::geteuid() == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) return 5;
  }
  auto defaults = NSUserDefaults::initWithSuiteName(argv[3]);
  if (!defaults) return 3;
  if (mode == "write" && argc == 6) {
    for (int i = 0, n = std::atoi(argv[5]); i < n; ++i) {
      defaults->setObject(Object::numberWithInteger(i), argv[4] + std::to_string(i));
      if (!defaults->synchronize()) return 4;
    }
    return 0;
  }
  if (mode == "churn" && argc >= 5) {
    const bool report = argc == 6;
    for (long i = 0, n = std::atol(argv[4]); i < n; ++i) {
      defaults->setObject(Object::numberWithInteger(i), "counter");
      defaults->setObjectInDictionary(Object::numberWithInteger(i), "counter", "state");
      defaults->setObjectInDictionary(Object(std::string(PayloadSize(i), 'a' + i % 26)), "payload",
                                      "state");
      if (!defaults->synchronize()) return 4;
      if (report) std::cout << i << std::endl;
    }
    return 0;
  }
  if (mode == "serve") {
    std::string line;
    while (std::getline(std::cin, line)) {
      std::size_t space = line.find(' ');
      defaults->setObject(Object(line.substr(space + 1)), line.substr(0, space));
      std::cout << (defaults->synchronize() ? "ok" : "fail") << std::endl;
    }
    return 0;
  }
  if (mode == "hold") {
    sqlite3* db = nullptr;
    if (sqlite3_open(defaults->filePath().c_str(), &db) != SQLITE_OK) return 6;
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return 7;
    std::cout << "held" << std::endl;
    for (;;) ::pause();
  }
  if (mode == "readonly-sync") {
    if (defaults->objectForKey("k") != Object("old")) return 6;
    defaults->setObject(Object("new"), "k");
    if (defaults->synchronize()) return 1;
    return defaults->objectForKey("k") == Object("new") ? 0 : 7;
  }
  return 2;
}

}  // namespace
}  // namespace vrk

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "--defaults-helper") {
    return vrk::HelperMain(argc, argv);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
