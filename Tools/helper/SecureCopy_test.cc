// The helper's copy, run in this (root) test process with another user's file-system identity:
// what that user may copy, and each way of reaching a file the user may not touch.
#include "Tools/helper/SecureCopy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Platform/Foundation/UniqueFd.h"
#include "tests/support/TemporaryRoot.h"

namespace vrk::helper {
namespace {

namespace fs = std::filesystem;
constexpr uid_t kUser = 12345;
constexpr uid_t kOther = 23456;

class CopyAsAnotherUser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    ::chmod(root_.path().c_str(), 0755);
    user_ = root_ / "user";
    other_ = root_ / "other";
    makeDir(user_, kUser, 0755);
    makeDir(other_, kOther, 0755);
    write(user_ / "mine", "mine", kUser, 0640);
    write(other_ / "secret", "secret", kOther, 0600);
    write(other_ / "public", "public", kOther, 0644);
  }

  void makeDir(const fs::path& p, uid_t owner, mode_t mode) {
    ASSERT_EQ(::mkdir(p.c_str(), mode), 0);
    ASSERT_EQ(::chown(p.c_str(), owner, owner), 0);
    ASSERT_EQ(::chmod(p.c_str(), mode), 0);
  }
  void write(const fs::path& p, const std::string& text, uid_t owner, mode_t mode) {
    std::ofstream(p) << text;
    ASSERT_EQ(::chown(p.c_str(), owner, owner), 0);
    ASSERT_EQ(::chmod(p.c_str(), mode), 0);
  }
  static std::string read(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  CopyResult copy(const fs::path& from, const fs::path& to) {
    return CopyAsCaller(Caller{kUser, kUser, 1, {}}, from.string(), to.string());
  }
  // Nothing but the named entries is in the user's folder: no temporary file was left.
  std::size_t entries(const fs::path& dir) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {}));
  }

  TemporaryRoot root_;
  fs::path user_, other_;
};

TEST_F(CopyAsAnotherUser, CopiesWhatTheUserMayReadAsTheUsersOwnFile) {
  write(user_ / "tool", "x", kUser, 06755);
  ASSERT_EQ(::chmod((user_ / "tool").c_str(), 06755), 0);
  auto r = copy(user_ / "tool", user_ / "copy");
  ASSERT_TRUE(r.copied) << r.reply;
  EXPECT_EQ(r.reply,
            "Copied " + (user_ / "tool").string() + " to " + (user_ / "copy").string() + ".");
  struct stat st;
  ASSERT_EQ(::stat((user_ / "copy").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kUser);
  EXPECT_EQ(st.st_mode & 07777, 0755u) << "set-id bits must never be copied";

  EXPECT_TRUE(copy(other_ / "public", user_ / "copy").copied) << "an own regular file is replaced";
  EXPECT_EQ(read(user_ / "copy"), "public");
  EXPECT_EQ(entries(user_), 3u);
  // Our own identity is back afterwards: root can still read what the user cannot.
  EXPECT_EQ(read(other_ / "secret"), "secret");
}

TEST_F(CopyAsAnotherUser, WhatTheUserMayNotReadOrWriteIsRefused) {
  auto r = copy(other_ / "secret", user_ / "stolen");
  EXPECT_FALSE(r.copied);
  EXPECT_EQ(r.reply, "Refused: the source: permission denied.");
  r = copy(user_ / "mine", other_ / "planted");
  EXPECT_EQ(r.reply, "Refused: the destination folder: permission denied.");
  EXPECT_FALSE(fs::exists(other_ / "planted"));
  // An existing file of someone else is never replaced, even in a folder the user may write.
  ::chmod(other_.c_str(), 0777);
  r = copy(user_ / "mine", other_ / "public");
  EXPECT_EQ(r.reply, "Refused: the destination exists and is not a regular file of the caller.");
  EXPECT_EQ(read(other_ / "public"), "public");
  EXPECT_FALSE(fs::exists(user_ / "stolen"));
}

TEST_F(CopyAsAnotherUser, SymbolicLinksAnywhereOnEitherPathAreRefused) {
  fs::create_symlink(other_ / "secret", user_ / "link");
  fs::create_symlink(other_, user_ / "dirlink");
  EXPECT_EQ(copy(user_ / "link", user_ / "out").reply, "Refused: the source is a symbolic link.");
  EXPECT_EQ(copy(user_ / "dirlink" / "public", user_ / "out").reply,
            "Refused: a folder on the source path is a symbolic link.");
  EXPECT_EQ(copy(user_ / "mine", user_ / "dirlink" / "out").reply,
            "Refused: a folder on the destination path is a symbolic link.");
  // A link planted where the copy goes is not followed to the file it names.
  fs::create_symlink(other_ / "public", user_ / "trap");
  EXPECT_EQ(copy(user_ / "mine", user_ / "trap").reply,
            "Refused: the destination is a symbolic link.");
  EXPECT_EQ(read(other_ / "public"), "public");
  EXPECT_FALSE(fs::exists(user_ / "out"));
}

TEST_F(CopyAsAnotherUser, OnlyPlainSingleLinkedFilesAreSources) {
  // A hard link the user made to a file of another user (protected_hardlinks aside, root made it
  // here) must not become a way to read it.
  ASSERT_EQ(::link((other_ / "secret").c_str(), (user_ / "hard").c_str()), 0);
  EXPECT_EQ(copy(user_ / "hard", user_ / "out").reply, "Refused: the source has other hard links.");
  ASSERT_EQ(::mkfifo((user_ / "fifo").c_str(), 0666), 0);
  EXPECT_EQ(copy(user_ / "fifo", user_ / "out").reply,
            "Refused: the source is not a regular file.");
  EXPECT_EQ(copy("/dev/zero", user_ / "out").reply, "Refused: the source is not a regular file.");
  EXPECT_EQ(copy(user_, user_ / "out").reply, "Refused: the source is not a regular file.");
  EXPECT_FALSE(fs::exists(user_ / "out"));
}

TEST_F(CopyAsAnotherUser, PathsMustBeAbsoluteCleanAndOfSaneLength) {
  const std::string mine = (user_ / "mine").string();
  EXPECT_EQ(CopyAsCaller({kUser, kUser, 1, {}}, "mine", (user_ / "o").string()).reply,
            "Refused: the path is not absolute.");
  EXPECT_EQ(CopyAsCaller({kUser, kUser, 1, {}}, mine, "").reply, "Refused: the path is empty.");
  EXPECT_EQ(CopyAsCaller({kUser, kUser, 1, {}}, (user_ / ".." / "other" / "public").string(),
                         (user_ / "o").string())
                .reply,
            "Refused: the path holds a . or .. component.");
  EXPECT_EQ(CopyAsCaller({kUser, kUser, 1, {}}, mine, (user_ / "o").string() + "/").reply,
            "Refused: the path does not name a file.");
  EXPECT_EQ(CopyAsCaller({kUser, kUser, 1, {}}, "/" + std::string(1 << 20, 'a'), mine).reply,
            "Refused: the path is too long.");
  EXPECT_EQ(entries(user_), 1u);
}

TEST_F(CopyAsAnotherUser, ANameWithALineBreakIsCopiedLikeAnyOther) {
  const fs::path odd = user_ / "two\nlines\r\tand\x1b[2J";
  auto r = copy(user_ / "mine", odd);
  ASSERT_TRUE(r.copied) << r.reply;
  EXPECT_EQ(read(odd), "mine");
  EXPECT_TRUE(copy(odd, user_ / "back").copied);
  EXPECT_EQ(read(user_ / "back"), "mine");
}

TEST_F(CopyAsAnotherUser, HolesOfASparseSourceStayHoles) {
  // 64 KiB of data, a 32 MiB hole, 4 KiB of data, and a 1 MiB hole at the end.
  constexpr off_t kHole = 32 << 20, kSize = (64 << 10) + kHole + (4 << 10) + (1 << 20);
  const fs::path sparse = user_ / "sparse";
  {
    UniqueFd fd(::open(sparse.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
    std::string head(64 << 10, 'h'), tail(4 << 10, 't');
    ASSERT_EQ(::pwrite(fd.get(), head.data(), head.size(), 0), off_t(head.size()));
    ASSERT_EQ(::pwrite(fd.get(), tail.data(), tail.size(), off_t(head.size()) + kHole),
              off_t(tail.size()));
    ASSERT_EQ(::ftruncate(fd.get(), kSize), 0);
    ASSERT_EQ(::fchown(fd.get(), kUser, kUser), 0);
  }
  auto r = copy(sparse, user_ / "copy");
  ASSERT_TRUE(r.copied) << r.reply;
  struct stat from, to;
  ASSERT_EQ(::stat(sparse.c_str(), &from), 0);
  ASSERT_EQ(::stat((user_ / "copy").c_str(), &to), 0);
  EXPECT_EQ(to.st_size, kSize);
  // A fully allocated copy would take 2^16 blocks of 512 bytes; allow some for the file
  // system's own rounding of the two data ranges.
  EXPECT_LE(to.st_blocks, from.st_blocks + 64) << "the holes were written out";
  EXPECT_EQ(read(user_ / "copy"), read(sparse));
  // An empty source and one that is a hole only.
  write(user_ / "empty", "", kUser, 0644);
  ASSERT_TRUE(copy(user_ / "empty", user_ / "copy").copied);
  EXPECT_EQ(fs::file_size(user_ / "copy"), 0u);
  ASSERT_EQ(::truncate(sparse.c_str(), 0), 0);
  ASSERT_EQ(::truncate(sparse.c_str(), 1 << 20), 0);
  ASSERT_TRUE(copy(sparse, user_ / "copy").copied);
  EXPECT_EQ(read(user_ / "copy"), std::string(1 << 20, '\0'));
}

}  // namespace
}  // namespace vrk::helper
