// The settings database on its own: which files it takes for its own, and what a failed step
// reports while the transaction it belongs to can still be tried again.
#include "Platform/Foundation/DefaultsDatabase.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "tests/support/TemporaryRoot.h"

namespace vrk::defaults {
namespace {

namespace fs = std::filesystem;

// A connection of another process's kind, for setting a file up or holding its write lock.
class RawConnection {
 public:
  explicit RawConnection(const fs::path& path) { sqlite3_open(path.c_str(), &db_); }
  ~RawConnection() { sqlite3_close(db_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  int exec(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  }

 private:
  sqlite3* db_ = nullptr;
};

class DefaultsDatabaseTest : public ::testing::Test {
 protected:
  std::unique_ptr<Database> Open(const fs::path& path, Database::Status& status) {
    return Database::open(path, status);
  }

  TemporaryRoot root_;
  const fs::path file_ = root_.path() / "suite.sqlite";
};

TEST_F(DefaultsDatabaseTest, AnEmptyFileBecomesOursAndOtherSchemasAreRefused) {
  Database::Status status;
  {
    auto db = Open(file_, status);
    ASSERT_EQ(status, Database::Status::Ok);
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->begin());
    ASSERT_TRUE(db->put("k", Object("v")));
    ASSERT_TRUE(db->commit());
  }
  // Opened again, the schema is checked, not made anew: what was written is still there.
  {
    auto db = Open(file_, status);
    ASSERT_EQ(status, Database::Status::Ok);
    auto read = db->read("k");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->value.stringOrNil(), "v");
  }

  // Another program's tables, and our id with another schema version, are not ours.
  const fs::path other = root_.path() / "other.sqlite";
  RawConnection(other).exec("CREATE TABLE t(x)");
  EXPECT_FALSE(Open(other, status));
  EXPECT_EQ(status, Database::Status::NotOurs);

  const fs::path newer = root_.path() / "newer.sqlite";
  RawConnection(newer).exec("PRAGMA application_id=" + std::to_string(kDefaultsApplicationId) +
                            "; PRAGMA user_version=2; CREATE TABLE settings(key)");
  EXPECT_FALSE(Open(newer, status));
  EXPECT_EQ(status, Database::Status::NotOurs);

  // Our id and version over tables the statements cannot use.
  const fs::path broken = root_.path() / "broken.sqlite";
  RawConnection(broken).exec("PRAGMA application_id=" + std::to_string(kDefaultsApplicationId) +
                             "; PRAGMA user_version=1; CREATE TABLE settings(key)");
  std::string error;
  EXPECT_FALSE(Database::open(broken, status, {}, &error));
  EXPECT_EQ(status, Database::Status::NotOurs);
  EXPECT_EQ(error.rfind("cannot prepare the statements of " + broken.string() + ": ", 0), 0u)
      << error;
}

TEST_F(DefaultsDatabaseTest, AFailedStepSaysWhatItWasDoingAndTheNextTrySucceeds) {
  Database::Status status;
  auto db = Open(file_, status);
  ASSERT_TRUE(db);
  {
    RawConnection other(file_);
    ASSERT_EQ(other.exec("BEGIN IMMEDIATE"), SQLITE_OK);
    // Each waits out the busy time-out, then fails with the action and SQLite's text.
    EXPECT_FALSE(db->begin());
    EXPECT_EQ(db->lastError() & 0xFF, SQLITE_BUSY);
    EXPECT_EQ(db->lastErrorMessage(),
              "cannot start a write to " + file_.string() + ": database is locked (5)");
    EXPECT_FALSE(db->remove("k"));
    EXPECT_EQ(db->lastErrorMessage(),
              "cannot write to " + file_.string() + ": database is locked (5)");
    db->rollback();
  }
  ASSERT_TRUE(db->begin());
  ASSERT_TRUE(db->put("k", Object(ObjectDictionary{{"a", Object("1")}})));
  ASSERT_TRUE(db->putEntry("k", "b", Object("2")));
  ASSERT_TRUE(db->putEntry("k", "a", Object()));
  ASSERT_TRUE(db->setMeta("imported", "stamp"));
  ASSERT_TRUE(db->commit());
  EXPECT_EQ(db->lastError(), 0);
  auto read = db->read("k");
  ASSERT_TRUE(read);
  EXPECT_TRUE(read->byEntries);
  EXPECT_EQ(read->value, Object(ObjectDictionary{{"b", Object("2")}}));
  EXPECT_EQ(db->meta("imported"), "stamp");
}

}  // namespace
}  // namespace vrk::defaults
