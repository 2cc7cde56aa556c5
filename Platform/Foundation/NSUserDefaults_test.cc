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

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
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
  fs::path File() const { return Folder() / (std::string(kSuite) + ".json"); }
  std::vector<std::string> TempFiles() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(Folder())) {
      std::string name = entry.path().filename();
      if (name.starts_with(".")) found.push_back(name);
    }
    return found;
  }

  fs::path root_;
};

TEST_F(DefaultsTest, ValuesRoundTripThroughTheFile) {
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
  EXPECT_FALSE(fs::exists(File()));

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
  const Object bad[] = {Object(ObjectData{1}), Object::valueWithPointer(this), Object("\xFF"),
                        Object(ObjectDictionary{{"x", Object(ObjectArray{Object(ObjectData{})})}}),
                        tooDeep};
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
  EXPECT_EQ(*Parse(ReadAll(File())), (ObjectDictionary{{"k", Object("kept")}}));
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

TEST_F(DefaultsTest, UnparseableFilesReadAsEmptyAndAreKeptAside) {
  const std::string bad[] = {"",
                             "{\"k\":",
                             std::string("\x7F\x45\x4C\x46\x00\x01", 6),
                             "[1,2]",
                             std::string("{\"k\":1}\0{", 9),
                             "{\"k\":\"caf\xE9\"}"};
  const fs::path corrupt = File().string() + ".corrupt";
  for (const std::string& bytes : bad) {
    ASSERT_TRUE(Open());  // creates the folder
    WriteAll(corrupt, "an older corrupt file");
    WriteAll(File(), bytes);
    auto defaults = Open();
    LogCapture log;
    EXPECT_TRUE(defaults->objectForKey("k").isNil());
    EXPECT_EQ(log.countContaining("kept aside"), 1u);
    EXPECT_EQ(ReadAll(corrupt), bytes);
    EXPECT_FALSE(fs::exists(File()));
    defaults->objectForKey("k");
    EXPECT_EQ(log.countContaining("kept aside"), 1u);  // logged once, not on every read
    // A fresh file is written even when nothing is pending.
    ASSERT_TRUE(defaults->synchronize());
    EXPECT_EQ(*Parse(ReadAll(File())), ObjectDictionary{});
    fs::remove(File());
  }
  // A writer that meets a bad file replaces it with its own keys only.
  auto writer = Open();
  WriteAll(File(), "garbage");
  writer->setObject(Object::numberWithInteger(1), "mine");
  ASSERT_TRUE(writer->synchronize());
  EXPECT_EQ(ReadAll(corrupt), "garbage");
  EXPECT_EQ(*Parse(ReadAll(File())), (ObjectDictionary{{"mine", Object::numberWithInteger(1)}}));
}

TEST_F(DefaultsTest, AValueTheStoreCannotHoldCostsOnlyThatValue) {
  ASSERT_TRUE(Open());  // creates the folder
  WriteAll(File(), R"({"rootFolderPath":"/home/me/Sync","windowScale":1.5})");
  auto defaults = Open();
  LogCapture log;
  EXPECT_EQ(defaults->objectForKey("rootFolderPath"), Object("/home/me/Sync"));
  EXPECT_TRUE(defaults->objectForKey("windowScale").isNil());
  EXPECT_EQ(log.countContaining("windowScale"), 1u);
  EXPECT_EQ(log.countContaining("kept aside"), 0u);
  EXPECT_FALSE(fs::exists(File().string() + ".corrupt"));
  defaults->setObject(Object::numberWithInteger(1), "mine");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(*Parse(ReadAll(File())), (ObjectDictionary{{"rootFolderPath", Object("/home/me/Sync")},
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
  EXPECT_EQ(*Parse(ReadAll(File())), (ObjectDictionary{{"shared", Object("mine")},
                                                       {"other", Object::numberWithInteger(1)}}));
  EXPECT_TRUE(theirs->objectForKey("nil").isNil());
}

// A file-size limit makes every write past it fail as a full disk would.
TEST_F(DefaultsTest, FailedWriteKeepsTheOldFileAndThePendingChanges) {
  auto defaults = Open();
  defaults->setObject(Object("old"), "k");
  ASSERT_TRUE(defaults->synchronize());
  const std::string before = ReadAll(File());

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
  EXPECT_EQ(ReadAll(File()), before);
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_EQ(defaults->objectForKey("k").count(), 100'000u);
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(Open()->objectForKey("k").count(), 100'000u);
}

TEST_F(DefaultsTest, StrayTempFilesOfCrashedWritersAreRemoved) {
  ASSERT_TRUE(Open());
  const std::string prefix = std::string(".") + kSuite + ".json.tmp.";
  WriteAll(Folder() / (prefix + "1.old"), "{");
  WriteAll(Folder() / (prefix + "2.fresh"), "{");
  WriteAll(Folder() / "unrelated.tmp", "keep");
  fs::last_write_time(Folder() / (prefix + "1.old"), fs::file_time_type::clock::now() - 2min);

  auto defaults = Open();
  EXPECT_EQ(TempFiles(), std::vector<std::string>{prefix + "2.fresh"});
  defaults->setObject(Object("v"), "k");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_TRUE(fs::exists(Folder() / "unrelated.tmp"));
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
  void kill() { ::kill(pid_, SIGKILL); }
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

TEST_F(DefaultsCrossProcess, ConcurrentWritersLoseNothing) {
  constexpr int kKeys = 150;
  Child a({"write", kSuite, "a", std::to_string(kKeys)});
  Child b({"write", kSuite, "b", std::to_string(kKeys)});
  Child c({"write", kSuite, "c", std::to_string(kKeys)});
  EXPECT_EQ(a.wait(), 0);
  EXPECT_EQ(b.wait(), 0);
  EXPECT_EQ(c.wait(), 0);
  auto reader = Open();
  for (std::string prefix : {"a", "b", "c"}) {
    for (int i = 0; i < kKeys; ++i) {
      EXPECT_EQ(reader->objectForKey(prefix + std::to_string(i)), Object::numberWithInteger(i));
    }
  }
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(DefaultsCrossProcess, ReaderNeverSeesATornOrStaleFile) {
  auto reader = Open();
  Child writer({"churn", kSuite, "3000"});
  std::int64_t last = -1;
  int reads = 0;
  while (writer.running()) {
    std::string bytes = ReadAll(File());
    if (!bytes.empty()) {
      ASSERT_TRUE(Parse(bytes)) << "torn file after " << reads << " reads";
      ++reads;
    }
    std::int64_t counter = reader->objectForKey("counter").integerValue();
    ASSERT_GE(counter, last) << "went back to an older version";
    last = counter;
  }
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_EQ(reader->objectForKey("counter"), Object::numberWithInteger(2999));
  EXPECT_GT(reads, 0);
  EXPECT_FALSE(fs::exists(File().string() + ".corrupt"));
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

TEST_F(DefaultsCrossProcess, KilledWriterLeavesTheOldOrTheNewFile) {
  std::mt19937 random(42);
  for (int round = 0; round < 25; ++round) {
    Child writer({"churn", kSuite, "-1"});
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 20000));
    writer.kill();
    EXPECT_EQ(writer.wait(), 128 + SIGKILL);
    if (fs::exists(File())) {
      ASSERT_TRUE(Parse(ReadAll(File()))) << "round " << round;
    }
  }
  auto defaults = Open();
  defaults->setObject(Object("after"), "k");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_FALSE(fs::exists(File().string() + ".corrupt"));
}

TEST_F(DefaultsCrossProcess, ReadOnlyFolderKeepsTheOldFile) {
  auto defaults = Open();
  defaults->setObject(Object("old"), "k");
  ASSERT_TRUE(defaults->synchronize());
  const std::string before = ReadAll(File());
  // Root ignores permissions, so the helper then drops to nobody, who owns the tree.
  if (::geteuid() == 0) {
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
      ASSERT_EQ(::lchown(entry.path().c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(::chown(root_.c_str(), 65534, 65534), 0);
  }
  fs::permissions(Folder(), fs::perms::owner_read | fs::perms::owner_exec);
  Child writer({"readonly-sync", kSuite});
  EXPECT_EQ(writer.wait(), 0) << "synchronize did not return false";
  EXPECT_EQ(ReadAll(File()), before);
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
  if (mode == "churn" && argc == 5) {
    // Values of varying size, so that a torn file could not pass for a whole one.
    for (long i = 0, n = std::atol(argv[4]); n < 0 || i < n; ++i) {
      defaults->setObject(Object(std::string(1 + (i * 7919) % 6000, 'a' + i % 26)), "payload");
      defaults->setObject(Object::numberWithInteger(i), "counter");
      if (!defaults->synchronize()) return 4;
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
  if (mode == "readonly-sync") {
    defaults->setObject(Object("new"), "k");
    return defaults->synchronize() ? 1 : 0;
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
