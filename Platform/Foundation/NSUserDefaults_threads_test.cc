// One suite object shared by threads, as the library shares its store between the client's
// thread and the Mach listener. Kept apart from the file and process tests so that the
// thread-sanitizer build runs only this.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "Platform/Foundation/NSUserDefaults.h"

namespace vrk {
namespace {

namespace fs = std::filesystem;

TEST(DefaultsThreads, OneObjectUsedFromManyThreadsLosesNothing) {
  char dir[] = "/tmp/vrk.XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  ::setenv("VRK_ROOT", dir, 1);
  auto defaults = NSUserDefaults::initWithSuiteName("group.test.threads");
  auto other = NSUserDefaults::initWithSuiteName("group.test.threads");
  ASSERT_TRUE(defaults && other);

  constexpr int kThreads = 4, kKeys = 60;
  std::atomic<bool> writing{true};
  // Another object of the suite keeps rewriting the file, so reads on the shared object
  // notice the other connection's commits while the writer threads write theirs.
  std::thread rewriter([&] {
    for (int i = 0; writing; ++i) {
      other->setObject(Object::numberWithInteger(i), "rewriter");
      EXPECT_TRUE(other->synchronize());
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kKeys; ++i) {
        const std::string key = std::to_string(t) + "." + std::to_string(i);
        defaults->setObject(Object::numberWithInteger(i), key);
        EXPECT_EQ(defaults->objectForKey(key), Object::numberWithInteger(i));
        defaults->objectForKey("rewriter");
        if (i % 10 == 9) {
          EXPECT_TRUE(defaults->synchronize());
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  writing = false;
  rewriter.join();

  EXPECT_EQ(
      NSUserDefaults::initWithSuiteName("group.test.threads")->dictionaryRepresentation().size(),
      static_cast<std::size_t>(kThreads * kKeys + 1));
  fs::remove_all(dir);
  ::unsetenv("VRK_ROOT");
}

}  // namespace
}  // namespace vrk
