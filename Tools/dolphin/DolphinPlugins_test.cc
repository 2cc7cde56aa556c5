// Dolphin's two plug-ins loaded with QPluginLoader as Dolphin loads them, outside Dolphin, with
// the test extension of tests/finder_test_extension.cc (which badges names with "locked" or
// "paused", "paused" a moment late for names with "pushed", and offers a small menu). The test
// answers overlaysChanged as Dolphin does: it asks about the URL again at once.
#include <KAbstractFileItemActionPlugin>
#include <KFileItem>
#include <KFileItemListProperties>
#include <KOverlayIconPlugin>
#include <KPluginFactory>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QPluginLoader>
#include <QTimer>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/ChildProcesses.h"
#include "tests/support/TemporaryRoot.h"

// Fontconfig, which Qt's offscreen platform starts for the first action, keeps a cache that it
// never frees; it is not ours to find under LeakSanitizer (read only in sanitizer builds).
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// One turn of Qt's event loop that may sleep, as Dolphin's does (processEvents with a time limit
// never sleeps), at most 20 ms.
void Turn() {
  QEventLoop loop;
  QTimer::singleShot(20, &loop, &QEventLoop::quit);
  loop.exec();
}

// Runs Qt's event loop until `done` holds or 20 s passed.
bool RunUntil(const std::function<bool()>& done) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > 20'000) return false;
    Turn();
  }
  return true;
}

// Runs Qt's event loop for `ms`, for what must not happen.
void RunFor(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) {
    Turn();
  }
}

// The plug-in in the build, or the installed one the package's tests name in `variable`.
QString PluginPath(const char* variable, const char* built) {
  const char* installed = std::getenv(variable);
  return QString::fromUtf8(installed ? installed : built);
}

std::size_t Count(const std::string& text, const std::string& line) {
  std::size_t count = 0;
  for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
    ++count;
  }
  return count;
}

class DolphinPlugins : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "dolphin_plugins_test";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!QApplication::instance()) new QApplication(argc, argv);
  }

  void SetUp() override {
    sync_ = root_ / "Sync";
    fs::create_directories(sync_);
    for (const char* name : {"a-locked.txt", "b-pushed.txt", "c.txt"}) {
      std::ofstream(sync_ / name) << "x";
    }
    fs::create_directories(root_ / "Elsewhere");
    log_ = root_ / "extension.log";
    ::setenv("FINDER_TEST_LOG", log_.c_str(), 1);
    ::setenv("FINDER_TEST_ROOT", sync_.c_str(), 1);
    ::setenv("VRK_DOLPHIN_EXTENSION", VRK_TEST_APPEX, 1);
  }

  // The overlay plug-in, answering overlaysChanged as Dolphin does: counted, and the URL asked
  // about again at once.
  KOverlayIconPlugin* Overlays() {
    overlayLoader_.setFileName(PluginPath("VRK_DOLPHIN_OVERLAYS_PATH", VRK_DOLPHIN_OVERLAYS));
    auto* plugin = qobject_cast<KOverlayIconPlugin*>(overlayLoader_.instance());
    if (!plugin) {
      ADD_FAILURE() << overlayLoader_.errorString().toStdString();
      return nullptr;
    }
    QObject::connect(plugin, &KOverlayIconPlugin::overlaysChanged,
                     [this, plugin](const QUrl& url, const QStringList& overlays) {
                       const std::string path = url.toLocalFile().toStdString();
                       ++changes_[path];
                       emitted_[path] = overlays;
                       shown_[path] = Ask(plugin, url);
                     });
    return plugin;
  }

  QStringList Ask(KOverlayIconPlugin* plugin, const QUrl& url) {
    ++asks_[url.toLocalFile().toStdString()];
    return plugin->getOverlays(url);
  }
  QStringList Ask(KOverlayIconPlugin* plugin, const fs::path& path) {
    QStringList answer = Ask(plugin, QUrl::fromLocalFile(QString::fromStdString(path.string())));
    shown_[path.string()] = answer;
    return answer;
  }

  KAbstractFileItemActionPlugin* Menu() {
    menuLoader_.setFileName(PluginPath("VRK_DOLPHIN_MENU_PATH", VRK_DOLPHIN_MENU));
    auto* factory = qobject_cast<KPluginFactory*>(menuLoader_.instance());
    if (!factory) {
      ADD_FAILURE() << menuLoader_.errorString().toStdString();
      return nullptr;
    }
    return factory->create<KAbstractFileItemActionPlugin>(&parent_);
  }

  static KFileItemListProperties Selection(const std::vector<fs::path>& paths) {
    KFileItemList items;
    for (const fs::path& path : paths) {
      items.append(KFileItem(QUrl::fromLocalFile(QString::fromStdString(path.string()))));
    }
    return KFileItemListProperties(items);
  }

  std::string Log() const {
    std::ifstream in(log_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  vrk::TemporaryRoot root_;
  fs::path sync_;
  fs::path log_;
  QPluginLoader overlayLoader_;
  QPluginLoader menuLoader_;
  QObject parent_;
  std::map<std::string, int> changes_;
  std::map<std::string, int> asks_;
  std::map<std::string, QStringList> emitted_;
  std::map<std::string, QStringList> shown_;
};

TEST_F(DolphinPlugins, BadgesArriveAsOverlaysOnceEachWithoutHoldingDolphin) {
  KOverlayIconPlugin* plugin = Overlays();
  ASSERT_NE(plugin, nullptr);
  const fs::path locked = sync_ / "a-locked.txt", pushed = sync_ / "b-pushed.txt",
                 plain = sync_ / "c.txt";
  // Nothing is known before the extension runs: the answer is empty, and at once.
  for (const fs::path& path : {locked, pushed, plain}) EXPECT_THAT(Ask(plugin, path), IsEmpty());
  ASSERT_TRUE(RunUntil([&] {
    return shown_[locked.string()] == QStringList{"vrk-locked"} &&
           shown_[pushed.string()] == QStringList{"vrk-paused"};
  })) << Log();
  // Let any further (wrong) redraw requests come.
  RunFor(1500);
  EXPECT_EQ(emitted_[locked.string()], QStringList{"vrk-locked"});
  EXPECT_EQ(changes_[locked.string()], 1);
  EXPECT_EQ(changes_[pushed.string()], 1);
  EXPECT_EQ(changes_.count(plain.string()), 0u);
  for (const fs::path& path : {locked, pushed, plain}) {
    EXPECT_LE(asks_[path.string()], 3) << path;
  }
  // Later questions are answered from what is known.
  EXPECT_THAT(Ask(plugin, locked), ElementsAre("vrk-locked"));
  EXPECT_THAT(Ask(plugin, plain), IsEmpty());
  RunFor(300);
  EXPECT_EQ(changes_[locked.string()], 1);
}

// Dolphin asks about every item it shows on its main thread before its loop runs again: what it
// asks goes to the extension meanwhile, not only once the loop has read the last answer.
TEST_F(DolphinPlugins, WhatDolphinAsksReachesTheExtensionWhileItGoesOnAsking) {
  KOverlayIconPlugin* plugin = Overlays();
  ASSERT_NE(plugin, nullptr);
  const fs::path first = sync_ / "c.txt";
  Ask(plugin, first);
  ASSERT_TRUE(RunUntil([&] { return Count(Log(), "request " + first.string() + "\n") == 1; }))
      << Log();
  RunFor(300);
  std::vector<fs::path> shown;
  for (int i = 0; i < 100; ++i) {
    shown.push_back(sync_ / ("shown " + std::to_string(i) + ".txt"));
    std::ofstream(shown.back()) << "x";
  }
  for (const fs::path& path : shown) Ask(plugin, path);
  // The loop does not run from here on.
  const auto requested = [&] {
    const std::string log = Log();
    return std::count_if(shown.begin(), shown.end(), [&](const fs::path& path) {
      return log.find("request " + path.string() + "\n") != std::string::npos;
    });
  };
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (requested() < 64 && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GE(requested(), 64) << Log();
}

TEST_F(DolphinPlugins, ItemsOutsideTheRootOrNotLocalGetNothingAndAreNotAsked) {
  KOverlayIconPlugin* plugin = Overlays();
  ASSERT_NE(plugin, nullptr);
  const fs::path outside = root_ / "Elsewhere" / "x-locked.txt";
  std::ofstream(outside) << "x";
  EXPECT_THAT(Ask(plugin, sync_ / "c.txt"), IsEmpty());
  EXPECT_THAT(Ask(plugin, outside), IsEmpty());
  EXPECT_THAT(plugin->getOverlays(QUrl("sftp://host/a-locked.txt")), IsEmpty());
  ASSERT_TRUE(RunUntil([&] { return Log().find("begin " + sync_.string()) != std::string::npos; }))
      << Log();
  RunFor(800);
  EXPECT_EQ(Log().find("request " + outside.string()), std::string::npos) << Log();
  EXPECT_EQ(changes_.count(outside.string()), 0u);
  EXPECT_THAT(Ask(plugin, outside), IsEmpty());
}

TEST_F(DolphinPlugins, TheMenuOfOneItemHasTheExtensionsEntriesAndAChoiceReachesIt) {
  KAbstractFileItemActionPlugin* menu = Menu();
  ASSERT_NE(menu, nullptr);
  const fs::path plain = sync_ / "c.txt";
  // Asked at once after Dolphin made the plug-in: the extension's start is waited for.
  QList<QAction*> actions = menu->actions(Selection({plain}), nullptr);
  std::vector<std::string> titles;
  for (QAction* action : actions) titles.push_back(action->text().toStdString());
  ASSERT_THAT(titles, ElementsAre("Share", "Hide badges", "Versions", "Disabled")) << Log();
  EXPECT_TRUE(actions[0]->isEnabled());
  EXPECT_FALSE(actions[3]->isEnabled());
  for (QAction* action : actions) EXPECT_EQ(action->parent(), menu);
  actions[0]->trigger();
  EXPECT_EQ(Count(Log(), "action shareLink: Share " + plain.string()), 1u) << Log();
  // Several items, or one outside the root, have none.
  EXPECT_THAT(menu->actions(Selection({plain, sync_ / "a-locked.txt"}), nullptr), IsEmpty());
  EXPECT_THAT(menu->actions(Selection({root_ / "Elsewhere"}), nullptr), IsEmpty());
  EXPECT_EQ(Count(Log(), "menu 0"), 1u) << Log();
}

TEST_F(DolphinPlugins, AnExtensionThatDiesIsRestartedAndTheOverlaysFollowIt) {
  KOverlayIconPlugin* plugin = Overlays();
  ASSERT_NE(plugin, nullptr);
  const fs::path locked = sync_ / "a-locked.txt";
  Ask(plugin, locked);
  ASSERT_TRUE(RunUntil([&] { return shown_[locked.string()] == QStringList{"vrk-locked"}; }))
      << Log();
  const std::vector<pid_t> children = vrk::ChildProcesses();
  ASSERT_EQ(children.size(), 1u);
  ASSERT_EQ(::kill(children[0], SIGKILL), 0);
  // Without its extension the item has no badge; once it is back, the badge is.
  ASSERT_TRUE(RunUntil([&] { return shown_[locked.string()].isEmpty(); })) << Log();
  ASSERT_TRUE(RunUntil([&] { return shown_[locked.string()] == QStringList{"vrk-locked"}; }))
      << Log();
  EXPECT_EQ(Count(Log(), "init"), 2u) << Log();
  EXPECT_EQ(changes_[locked.string()], 3);
}

}  // namespace
