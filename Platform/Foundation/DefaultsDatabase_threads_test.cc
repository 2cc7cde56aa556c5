// The settings database's checkpoints: a thread copies the write-ahead log back while the
// writer commits, the writer takes over when the thread cannot keep up or cannot run, and
// closing ends the thread. Labelled for the thread-sanitizer build.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <string>
#include <thread>

#include "Platform/Foundation/DefaultsDatabase.h"
#include "tests/support/TemporaryRoot.h"

namespace vrk::defaults {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Small limits, so that a few thousand commits cross them many times.
constexpr CheckpointFrames kSmall{.background = 100, .inCaller = 400};

int ThreadCount() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
  }
  return count;
}

// The kernel lists a joined thread in /proc for a moment after join returns. Waits up to 2 s
// for the count to reach `atMost` (with 0, for it to stay put for 50 ms) and returns it.
int ThreadCountWithin(int atMost) {
  int count = ThreadCount();
  int steady = 0;
  for (int i = 0; i < 400 && (atMost > 0 ? count > atMost : steady < 10); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int now = ThreadCount();
    steady = now == count ? steady + 1 : 0;
    count = now;
  }
  return count;
}

class DefaultsCheckpoints : public ::testing::Test {
 protected:
  std::unique_ptr<Database> Open(CheckpointFrames frames) {
    Database::Status status;
    auto db = Database::open(file_, status, frames);
    EXPECT_EQ(status, Database::Status::Ok);
    return db;
  }
  // The frames of the log now, as a checkpoint reports it.
  std::int64_t LogFrames() const {
    sqlite3* db = nullptr;
    int frames = -1, copied = 0;
    if (sqlite3_open(file_.c_str(), &db) == SQLITE_OK) {
      // A connection learns that the file is in WAL mode on its first read.
      sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
      // The store's thread may be in a pass, and a passive checkpoint does not wait for it.
      for (int i = 0; sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &frames,
                                                &copied) == SQLITE_BUSY &&
                      i < 1000;
           ++i) {
        std::this_thread::sleep_for(10ms);
      }
    }
    sqlite3_close(db);
    return frames;
  }
  // The length of the log in frames, as its file has it: the file is written over from its
  // beginning once a checkpoint has copied all of it, so its size is the longest the log got.
  std::int64_t LogFileFrames() const {
    std::error_code ec;
    const auto bytes = fs::file_size(file_.string() + "-wal", ec);
    return ec || bytes < 32 ? 0 : static_cast<std::int64_t>((bytes - 32) / (4096 + 24));
  }
  // One small change per commit, as a badge writes it.
  static void CommitEntries(Database& db, int commits, int first = 0) {
    for (int i = first; i < first + commits; ++i) {
      ASSERT_TRUE(db.begin());
      ASSERT_TRUE(db.ensureDictionary("cache"));
      ASSERT_TRUE(db.putEntry("cache", "/Users/me/Sync/" + std::to_string(i % 5000),
                              Object::numberWithInteger(i)));
      ASSERT_TRUE(db.commit());
    }
  }

  TemporaryRoot root_;
  fs::path file_ = root_ / "settings.sqlite";
};

TEST_F(DefaultsCheckpoints, TheThreadCopiesTheLogWhileTheWriterCommitsAndItStaysBounded) {
  auto db = Open(kSmall);
  ASSERT_TRUE(db);
  CommitEntries(*db, 5000);
  // Without checkpoints the log would hold a frame or more per commit. The writer's own
  // checkpoint bounds it at inCaller frames, plus what it commits while a pass of the thread
  // holds the checkpoint lock.
  EXPECT_LT(LogFileFrames(), 2000);
  // The thread may not have been scheduled yet on a loaded machine: give it the time it needs.
  for (int i = 0; i < 1000 && db->checkpointCounts().background == 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  const Database::CheckpointCounts counts = db->checkpointCounts();
  EXPECT_TRUE(counts.threadRunning);
  EXPECT_GE(counts.background, 1);
  auto reader = Open(kSmall);
  std::optional<Database::Read> read = reader->read("cache");
  ASSERT_TRUE(read);
  ASSERT_EQ(read->value.count(), 5000u);
  EXPECT_EQ(read->value.objectForKey("/Users/me/Sync/4999"), Object::numberWithInteger(4999));
}

// A store whose thread never runs (here: never asked to) still commits, and the writer's own
// checkpoints keep the log at its limit.
TEST_F(DefaultsCheckpoints, WithoutTheThreadTheWriterKeepsTheLogAtItsLimit) {
  auto db = Open({.background = INT_MAX, .inCaller = 400});
  ASSERT_TRUE(db);
  CommitEntries(*db, 3000);
  EXPECT_LE(LogFileFrames(), 400 + 5);
  const Database::CheckpointCounts counts = db->checkpointCounts();
  EXPECT_FALSE(counts.threadRunning);
  EXPECT_EQ(counts.background, 0);
  EXPECT_GE(counts.inCaller, 3000 / 400 - 1);
}

// A reader that keeps an old version open stops every checkpoint short of it: commits go on,
// and once the reader is done the log starts again from its beginning.
TEST_F(DefaultsCheckpoints, AReaderHoldingAnOldVersionCostsNoCommit) {
  auto db = Open(kSmall);
  ASSERT_TRUE(db);
  CommitEntries(*db, 10);
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(file_.c_str(), &reader), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM entries", nullptr, nullptr, nullptr),
            SQLITE_OK);
  CommitEntries(*db, 1000, 10);
  EXPECT_GT(LogFileFrames(), 400) << "the log went past a version that a reader still reads";
  ASSERT_EQ(sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(reader);
  // A commit past the limit copies everything, and the one after starts the log again.
  const std::int64_t longest = LogFileFrames();
  CommitEntries(*db, 2000, 1010);
  const std::int64_t frames = LogFrames();
  EXPECT_GE(frames, 0);
  EXPECT_LT(frames, longest) << "the log did not start again";
  std::optional<Database::Read> read = db->read("cache");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->value.count(), 3010u);
}

// Closing with a pass asked for or in progress interrupts it, ends the thread and, as the last
// connection, copies the log back and removes it with the shared-memory file.
TEST_F(DefaultsCheckpoints, ClosingEndsTheThreadAndLeavesNoLog) {
  // ThreadSanitizer starts a thread of its own with the process's second thread: let it start
  // before counting.
  std::thread([] {}).join();
  const int threadsBefore = ThreadCountWithin(0);
  for (int round = 0; round < 5; ++round) {
    auto db = Open(kSmall);
    ASSERT_TRUE(db);
    // One commit of several hundred pages asks for a pass that takes a while.
    ASSERT_TRUE(db->begin());
    for (int i = 0; i < 300; ++i) {
      ASSERT_TRUE(db->put("k" + std::to_string(i), Object(std::string(3000, 'a' + i % 26))));
    }
    ASSERT_TRUE(db->commit());
    EXPECT_TRUE(db->checkpointCounts().threadRunning);
    db.reset();
    EXPECT_EQ(ThreadCountWithin(threadsBefore), threadsBefore) << "round " << round;
    EXPECT_FALSE(fs::exists(file_.string() + "-wal")) << "round " << round;
    EXPECT_FALSE(fs::exists(file_.string() + "-shm")) << "round " << round;
  }
  auto db = Open(kSmall);
  std::optional<Database::Read> read = db->read("k299");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->value, Object(std::string(3000, 'a' + 299 % 26)));
}

}  // namespace
}  // namespace vrk::defaults
