#include "Platform/Foundation/NSNotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>
#include <vector>

namespace vrk {
namespace {

// Each test gets a center of its own, so registrations never leak between tests.
class CenterTest : public ::testing::Test {
 protected:
  NSNotificationCenter center;
  std::vector<std::string> calls;

  NotificationCallback record(std::string tag) {
    return [this, tag](const NSNotification& n) { calls.push_back(tag + ":" + n.name); };
  }
};

TEST_F(CenterTest, MatchesByNameAndObject) {
  int a, b, c, d;
  center.addObserver(&a, record("a"), "N");
  center.addObserver(&b, record("b"), std::nullopt);  // every name
  center.addObserver(&c, record("c"), "N", Object("sender"));
  center.addObserver(&d, record("d"), std::nullopt, Object::numberWithInteger(7));

  center.postNotificationName("N");
  center.postNotificationName("N", Object("sender"));
  center.postNotificationName("M", Object::numberWithInt(7));  // numbers match by value
  center.postNotificationName("M", Object("other"));
  EXPECT_EQ(calls,
            (std::vector<std::string>{"a:N", "b:N", "a:N", "b:N", "c:N", "b:M", "d:M", "b:M"}));
}

TEST_F(CenterTest, DeliversThePayloadInRegistrationOrder) {
  int observer;
  NSNotification got;
  std::vector<int> order;
  for (int i = 0; i < 5; ++i) {
    center.addObserver(
        &observer,
        [&, i](const NSNotification& n) {
          order.push_back(i);
          got = n;
        },
        "N");
  }
  ObjectDictionary info{{"type", Object::numberWithInt(3)}, {"path", Object("/a b")}};
  center.postNotificationName("N", Object("obj"), Object(info));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(got.name, "N");
  EXPECT_EQ(got.object, Object("obj"));
  EXPECT_EQ(got.userInfo.objectForKey("type").integerValue(), 3);
  EXPECT_TRUE(std::regex_search(
      got.description(), std::regex("^NSConcreteNotification 0x[0-9a-f]+, name = N, object = "
                                    "obj, userInfo = \\{")));
}

TEST_F(CenterTest, RemovalIsPerObserverNameAndObject) {
  int a, b;
  center.addObserver(&a, record("a1"), "N");
  center.addObserver(&a, record("a2"), "M");
  center.addObserver(&a, record("a3"), std::nullopt);
  center.addObserver(&a, record("a4"), "N", Object("x"));
  center.addObserver(&b, record("b"), "N");

  // A name-specific removal leaves the every-name registration, as Foundation does.
  center.removeObserver(&a, "N", Object("x"));
  center.postNotificationName("N", Object("x"));
  EXPECT_EQ(calls, (std::vector<std::string>{"a1:N", "a3:N", "b:N"}));
  calls.clear();

  center.removeObserver(&a, "N");
  center.postNotificationName("N");
  center.postNotificationName("M");
  EXPECT_EQ(calls, (std::vector<std::string>{"a3:N", "b:N", "a2:M", "a3:M"}));
  calls.clear();

  center.removeObserver(&a);
  center.removeObserver(&a);  // nothing left: harmless
  center.postNotificationName("M");
  center.postNotificationName("N");
  EXPECT_EQ(calls, (std::vector<std::string>{"b:N"}));
}

// The lock answer is posted from inside the observer of the question: an observer must be able
// to post, add and remove while it is being called.
TEST_F(CenterTest, ObserversMayPostAddAndRemoveWhileCalled) {
  int question, answer, late;
  center.addObserver(
      &question,
      [&](const NSNotification&) {
        calls.push_back("question");
        center.postNotificationName("answer");
        center.addObserver(&late, record("late"), std::nullopt);
      },
      "question");
  center.addObserver(
      &answer,
      [&](const NSNotification& n) {
        calls.push_back("answer:" + n.name);
        center.removeObserver(&answer);
      },
      "answer");

  center.postNotificationName("question");
  // The observer added during the post is not called by it, but by the next one.
  EXPECT_EQ(calls, (std::vector<std::string>{"question", "answer:answer"}));
  calls.clear();
  center.postNotificationName("answer");
  EXPECT_EQ(calls, (std::vector<std::string>{"late:answer"}));
}

TEST_F(CenterTest, ObserverRemovedDuringAPostIsNotCalledByIt) {
  int first, second, third;
  center.addObserver(
      &first,
      [&](const NSNotification&) {
        calls.push_back("first");
        center.removeObserver(&second);
        center.removeObserver(&first);
      },
      "N");
  center.addObserver(&second, record("second"), "N");
  center.addObserver(&third, record("third"), "N");
  center.postNotificationName("N");
  center.postNotificationName("N");
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "third:N", "third:N"}));
}

// Posts, adds and removals from several threads at once (TSan watches the center's state). A
// registration's thread posts right after removing it: that post must not reach it.
TEST(CenterThreads, ConcurrentPostsAddsAndRemovals) {
  NSNotificationCenter center;
  std::atomic<bool> done{false};
  std::atomic<long> delivered{0};
  std::atomic<int> callsAfterRemoval{0};

  std::vector<std::thread> posters;
  for (int p = 0; p < 3; ++p) {
    posters.emplace_back([&] {
      while (!done) center.postNotificationName("N", Object("x"));
    });
  }
  std::vector<std::thread> churners;
  for (int c = 0; c < 3; ++c) {
    churners.emplace_back([&] {
      const auto self = std::this_thread::get_id();
      for (int round = 0; round < 300; ++round) {
        int token;
        auto removed = std::make_shared<std::atomic<bool>>(false);
        center.addObserver(
            &token,
            [&, removed, self](const NSNotification&) {
              ++delivered;
              if (std::this_thread::get_id() == self && removed->load()) ++callsAfterRemoval;
            },
            "N", Object("x"));
        std::this_thread::yield();
        center.removeObserver(&token);
        removed->store(true);
        center.postNotificationName("N", Object("x"));
      }
    });
  }
  for (auto& c : churners) c.join();
  done = true;
  for (auto& p : posters) p.join();
  EXPECT_EQ(callsAfterRemoval, 0);
  EXPECT_GT(delivered.load(), 0);
}

}  // namespace
}  // namespace vrk
