// libvrk-nautilus.so loaded with GModule as GNOME Files loads it, outside GNOME Files: a fake
// NautilusFileInfo stands for GNOME Files' items, and the test extension of
// tests/finder_test_extension.cc (which badges names with "locked" or "paused") is the extension.
#include <glib-object.h>
#include <gmodule.h>
extern "C" {
#include <nautilus-extension.h>
}
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/ChildProcesses.h"
#include "tests/support/TemporaryRoot.h"

// ---- A fake NautilusFileInfo: its URI, and what the module did to it ----

struct FakeFileInfo {
  GObject parent;
  char* uri;
  std::vector<std::string>* emblems;
  int invalidations;
};
struct FakeFileInfoClass {
  GObjectClass parent_class;
};

static void fake_file_info_iface_init(NautilusFileInfoInterface* iface);
G_DEFINE_TYPE_WITH_CODE(FakeFileInfo, fake_file_info, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(NAUTILUS_TYPE_FILE_INFO, fake_file_info_iface_init))

static void fake_file_info_init(FakeFileInfo* self) {
  self->emblems = new std::vector<std::string>();
}
static void fake_file_info_finalize(GObject* object) {
  auto* self = reinterpret_cast<FakeFileInfo*>(object);
  g_free(self->uri);
  delete self->emblems;
  G_OBJECT_CLASS(fake_file_info_parent_class)->finalize(object);
}
static void fake_file_info_class_init(FakeFileInfoClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = fake_file_info_finalize;
}
static char* fake_get_uri(NautilusFileInfo* file) {
  return g_strdup(reinterpret_cast<FakeFileInfo*>(file)->uri);
}
static char* fake_get_name(NautilusFileInfo* file) {
  return g_path_get_basename(reinterpret_cast<FakeFileInfo*>(file)->uri);
}
static gboolean fake_is_gone(NautilusFileInfo*) {
  return FALSE;
}
static void fake_add_emblem(NautilusFileInfo* file, const char* name) {
  reinterpret_cast<FakeFileInfo*>(file)->emblems->push_back(name);
}
static void fake_invalidate(NautilusFileInfo* file) {
  // GNOME Files drops what the extensions added and asks them again.
  auto* self = reinterpret_cast<FakeFileInfo*>(file);
  self->emblems->clear();
  ++self->invalidations;
}
static void fake_file_info_iface_init(NautilusFileInfoInterface* iface) {
  iface->get_uri = fake_get_uri;
  iface->get_name = fake_get_name;
  iface->is_gone = fake_is_gone;
  iface->add_emblem = fake_add_emblem;
  iface->invalidate_extension_info = fake_invalidate;
}

// ---- A type module that is always loaded, as GNOME Files' own is while the module is in ----

struct TestTypeModule {
  GTypeModule parent;
};
struct TestTypeModuleClass {
  GTypeModuleClass parent_class;
};
G_DEFINE_TYPE(TestTypeModule, test_type_module, G_TYPE_TYPE_MODULE)
static gboolean test_type_module_load(GTypeModule*) {
  return TRUE;
}
static void test_type_module_unload(GTypeModule*) {}
static void test_type_module_init(TestTypeModule*) {}
static void test_type_module_class_init(TestTypeModuleClass* klass) {
  G_TYPE_MODULE_CLASS(klass)->load = test_type_module_load;
  G_TYPE_MODULE_CLASS(klass)->unload = test_type_module_unload;
}

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;

constexpr auto kLongWait = std::chrono::seconds(20);

// Runs the default main context until `done` holds or `limit` passed.
bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kLongWait) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    // A short timer keeps a blocking iteration from outliving the deadline.
    bool fired = false;
    guint tick = g_timeout_add(
        20,
        [](gpointer data) -> gboolean {
          *static_cast<bool*>(data) = true;
          return G_SOURCE_REMOVE;
        },
        &fired);
    g_main_context_iteration(nullptr, TRUE);
    if (!fired) g_source_remove(tick);
  }
  return true;
}

struct Answer {
  bool invoked = false;
  NautilusOperationResult result = NAUTILUS_OPERATION_FAILED;
};

void OnComplete(NautilusInfoProvider*, NautilusOperationHandle*, NautilusOperationResult result,
                gpointer data) {
  auto* answer = static_cast<Answer*>(data);
  answer->invoked = true;
  answer->result = result;
}

class NautilusModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sync_ = root_ / "Sync";
    other_ = root_ / "Other";
    fs::create_directories(sync_);
    fs::create_directories(other_);
    for (const char* name : {"a-locked.txt", "b-paused.txt", "c.txt", "crash"}) {
      std::ofstream(sync_ / name) << "x";
    }
    log_ = root_ / "extension.log";
    ::setenv("FINDER_TEST_LOG", log_.c_str(), 1);
    ::setenv("FINDER_TEST_ROOT", sync_.c_str(), 1);
    ::setenv("VRK_NAUTILUS_EXTENSION", VRK_TEST_APPEX, 1);

    // The package's tests load the module from where the package installs it.
    const char* module = std::getenv("VRK_NAUTILUS_MODULE_PATH");
    module_ = g_module_open(module ? module : VRK_NAUTILUS_MODULE, G_MODULE_BIND_LOCAL);
    ASSERT_NE(module_, nullptr) << g_module_error();
    void (*initialize)(GTypeModule*) = nullptr;
    void (*listTypes)(const GType**, int*) = nullptr;
    ASSERT_TRUE(g_module_symbol(module_, "nautilus_module_initialize",
                                reinterpret_cast<gpointer*>(&initialize)));
    ASSERT_TRUE(g_module_symbol(module_, "nautilus_module_list_types",
                                reinterpret_cast<gpointer*>(&listTypes)));
    ASSERT_TRUE(g_module_symbol(module_, "nautilus_module_shutdown",
                                reinterpret_cast<gpointer*>(&shutdown_)));
    typeModule_ = G_TYPE_MODULE(g_object_new(test_type_module_get_type(), nullptr));
    ASSERT_TRUE(g_type_module_use(typeModule_));
    initialize(typeModule_);
    const GType* types = nullptr;
    int count = 0;
    listTypes(&types, &count);
    ASSERT_EQ(count, 1);
    ASSERT_TRUE(g_type_is_a(types[0], NAUTILUS_TYPE_INFO_PROVIDER));
    ASSERT_TRUE(g_type_is_a(types[0], NAUTILUS_TYPE_MENU_PROVIDER));
    provider_ = G_OBJECT(g_object_new(types[0], nullptr));
  }

  void TearDown() override {
    for (FakeFileInfo* file : files_) g_object_unref(file);
    if (provider_) g_object_unref(provider_);
    if (shutdown_) shutdown_();
    // The module stays loaded, as in GNOME Files: its types cannot be unregistered.
  }

  FakeFileInfo* File(const fs::path& path) {
    auto* file = static_cast<FakeFileInfo*>(g_object_new(fake_file_info_get_type(), nullptr));
    file->uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    files_.push_back(file);
    return file;
  }

  // Asks as GNOME Files does: the closure is GNOME Files' and it drops its own reference at once.
  Answer Ask(FakeFileInfo* file, std::chrono::milliseconds limit = kLongWait) {
    Answer answer;
    GClosure* closure = g_cclosure_new(G_CALLBACK(OnComplete), &answer, nullptr);
    g_closure_set_marshal(closure, g_cclosure_marshal_generic);
    NautilusOperationHandle* handle = nullptr;
    NautilusOperationResult result = nautilus_info_provider_update_file_info(
        NAUTILUS_INFO_PROVIDER(provider_), NAUTILUS_FILE_INFO(file), closure, &handle);
    g_closure_unref(closure);
    if (result != NAUTILUS_OPERATION_IN_PROGRESS) {
      answer.invoked = true;
      answer.result = result;
      return answer;
    }
    EXPECT_NE(handle, nullptr);
    RunUntil([&] { return answer.invoked; }, limit);
    return answer;
  }

  std::string Log() const {
    std::ifstream in(log_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Waits until the extension is up, observes the sync folder and was asked about every item:
  // the items with a badge are redrawn then (invalidated), as GNOME Files would ask them again;
  // the others stay as they are.
  void WaitUntilObserved(const std::vector<FakeFileInfo*>& items) {
    std::vector<int> before;
    for (FakeFileInfo* item : items) before.push_back(item->invalidations);
    for (FakeFileInfo* item : items) Ask(item);
    ASSERT_TRUE(RunUntil([&] {
      const std::string log = Log();
      for (std::size_t i = 0; i < items.size(); ++i) {
        g_autofree char* path = g_filename_from_uri(items[i]->uri, nullptr, nullptr);
        if (log.find("request " + std::string(path) + "\n") == std::string::npos) return false;
        if (IsBadged(path) && items[i]->invalidations == before[i]) return false;
      }
      return true;
    })) << Log();
  }

  // The test extension badges these names when it is asked about them.
  static bool IsBadged(const std::string& path) {
    const std::string name = fs::path(path).filename();
    return name.find("locked") != std::string::npos || name.find("paused") != std::string::npos;
  }

  // Everything the module asked of the extension so far has been answered: a new badged item
  // asked about now is redrawn only after the requests before it were handled.
  void WaitForRoundTrip(const std::string& name) {
    std::ofstream(sync_ / name) << "x";
    FakeFileInfo* probe = File(sync_ / name);
    ASSERT_EQ(Ask(probe).result, NAUTILUS_OPERATION_COMPLETE);
    ASSERT_TRUE(RunUntil([&] { return probe->invalidations > 0; })) << Log();
  }

  GList* Menu(FakeFileInfo* file) {
    GList* files = g_list_append(nullptr, file);
    GList* items = nautilus_menu_provider_get_file_items(NAUTILUS_MENU_PROVIDER(provider_), files);
    g_list_free(files);
    return items;
  }

  static std::string Property(GObject* item, const char* name) {
    g_autofree char* value = nullptr;
    g_object_get(item, name, &value, nullptr);
    return value ? value : "";
  }

  vrk::TemporaryRoot root_;
  fs::path sync_;
  fs::path other_;
  fs::path log_;
  GModule* module_ = nullptr;
  GTypeModule* typeModule_ = nullptr;
  void (*shutdown_)() = nullptr;
  GObject* provider_ = nullptr;
  std::vector<FakeFileInfo*> files_;
};

TEST_F(NautilusModuleTest, BadgesBecomeEmblemsOnlyInsideTheObservedFolder) {
  FakeFileInfo* locked = File(sync_ / "a-locked.txt");
  FakeFileInfo* paused = File(sync_ / "b-paused.txt");
  FakeFileInfo* plain = File(sync_ / "c.txt");
  FakeFileInfo* outside = File(other_ / "x-locked.txt");
  WaitUntilObserved({locked, paused, plain});

  for (FakeFileInfo* item : {locked, paused, plain}) {
    Answer answer = Ask(item);
    EXPECT_TRUE(answer.invoked);
    EXPECT_EQ(answer.result, NAUTILUS_OPERATION_COMPLETE);
  }
  EXPECT_THAT(*locked->emblems, ElementsAre("vrk-locked"));
  EXPECT_THAT(*paused->emblems, ElementsAre("vrk-paused"));
  EXPECT_THAT(*plain->emblems, IsEmpty());
  EXPECT_EQ(Ask(outside).result, NAUTILUS_OPERATION_COMPLETE);
  EXPECT_THAT(*outside->emblems, IsEmpty());
  EXPECT_THAT(Log(), HasSubstr("begin " + sync_.string() + "\n"));
  EXPECT_THAT(Log(), HasSubstr("request " + (sync_ / "c.txt").string() + "\n"));
  EXPECT_THAT(Log(), ::testing::Not(HasSubstr("request " + other_.string())));

  // The badge's label shows in the item's properties.
  GList* files = g_list_append(nullptr, locked);
  GList* models = nautilus_properties_model_provider_get_models(
      NAUTILUS_PROPERTIES_MODEL_PROVIDER(provider_), files);
  g_list_free(files);
  ASSERT_EQ(g_list_length(models), 1u);
  auto* model = NAUTILUS_PROPERTIES_MODEL(models->data);
  EXPECT_STREQ(nautilus_properties_model_get_title(model), "Sync");
  GListModel* entries = nautilus_properties_model_get_model(model);
  ASSERT_EQ(g_list_model_get_n_items(entries), 1u);
  g_autoptr(NautilusPropertiesItem) status =
      NAUTILUS_PROPERTIES_ITEM(g_list_model_get_item(entries, 0));
  EXPECT_STREQ(nautilus_properties_item_get_value(status), "Locking");
  g_list_free_full(models, g_object_unref);
}

TEST_F(NautilusModuleTest, AnswersAtOnceAndRedrawsAnItemOnceWhenItsBadgeArrives) {
  WaitUntilObserved({File(sync_ / "a-locked.txt")});
  for (const char* name : {"d-locked.txt", "e.txt", "f-pushed.txt"}) {
    std::ofstream(sync_ / name) << "x";
  }
  FakeFileInfo* locked = File(sync_ / "d-locked.txt");
  FakeFileInfo* plain = File(sync_ / "e.txt");
  FakeFileInfo* pushed = File(sync_ / "f-pushed.txt");
  // Not known yet: answered at once without an emblem, and asked in the background.
  for (FakeFileInfo* item : {locked, plain, pushed}) {
    EXPECT_EQ(Ask(item).result, NAUTILUS_OPERATION_COMPLETE);
    EXPECT_THAT(*item->emblems, IsEmpty());
  }
  // The answer's badge and the one the client sets a moment later each redraw their item.
  ASSERT_TRUE(RunUntil([&] { return locked->invalidations > 0 && pushed->invalidations > 0; }))
      << Log();
  Ask(locked);
  Ask(pushed);
  EXPECT_THAT(*locked->emblems, ElementsAre("vrk-locked"));
  EXPECT_THAT(*pushed->emblems, ElementsAre("vrk-paused"));
  WaitForRoundTrip("g-locked.txt");
  EXPECT_EQ(locked->invalidations, 1);
  EXPECT_EQ(pushed->invalidations, 1);
  EXPECT_EQ(plain->invalidations, 0);

  // Known items are answered from what the module holds, even while the extension is stopped;
  // none of them is asked again.
  const std::vector<pid_t> children = vrk::ChildProcesses();
  ASSERT_EQ(children.size(), 1u);
  ASSERT_EQ(::kill(children[0], SIGSTOP), 0);
  // GNOME Files drops what the extensions added before it asks again.
  locked->emblems->clear();
  EXPECT_EQ(Ask(locked).result, NAUTILUS_OPERATION_COMPLETE);
  EXPECT_EQ(Ask(plain).result, NAUTILUS_OPERATION_COMPLETE);
  ::kill(children[0], SIGCONT);
  EXPECT_THAT(*locked->emblems, ElementsAre("vrk-locked"));
  EXPECT_THAT(*plain->emblems, IsEmpty());
  const std::string log = Log();
  for (const char* name : {"d-locked.txt", "e.txt", "f-pushed.txt"}) {
    const std::string line = "request " + (sync_ / name).string() + "\n";
    EXPECT_EQ(log.find(line), log.rfind(line)) << name;
  }
}

TEST_F(NautilusModuleTest, TheShownFolderIsAskedAheadOfGnomeFiles) {
  // GNOME Files has asked about one item; the module asks about the rest of the folder itself.
  WaitUntilObserved({File(sync_ / "a-locked.txt")});
  ASSERT_TRUE(RunUntil([&] {
    return Log().find("request " + (sync_ / "b-paused.txt").string() + "\n") != std::string::npos;
  })) << Log();
  WaitForRoundTrip("y-locked.txt");
  // So its first question is answered with the emblem, and nothing needs a redraw.
  FakeFileInfo* paused = File(sync_ / "b-paused.txt");
  EXPECT_EQ(Ask(paused).result, NAUTILUS_OPERATION_COMPLETE);
  EXPECT_THAT(*paused->emblems, ElementsAre("vrk-paused"));
  WaitForRoundTrip("z-locked.txt");
  EXPECT_EQ(paused->invalidations, 0);
}

TEST_F(NautilusModuleTest, AnExtensionThatNeverAnswersCostsNoRedraws) {
  WaitUntilObserved({File(sync_ / "a-locked.txt")});
  const std::vector<pid_t> children = vrk::ChildProcesses();
  ASSERT_EQ(children.size(), 1u);
  ASSERT_EQ(::kill(children[0], SIGSTOP), 0);
  std::vector<FakeFileInfo*> items;
  for (int i = 0; i < 300; ++i) {
    const fs::path path = sync_ / ("h" + std::to_string(i) + "-locked.txt");
    std::ofstream(path) << "x";
    items.push_back(File(path));
  }
  for (FakeFileInfo* item : items) EXPECT_EQ(Ask(item).result, NAUTILUS_OPERATION_COMPLETE);
  // Past the bound on a silent extension nothing is redrawn, and a question asked again is
  // still answered at once.
  RunUntil([] { return false; }, std::chrono::milliseconds(2500));
  for (FakeFileInfo* item : items) EXPECT_EQ(item->invalidations, 0);
  EXPECT_EQ(Ask(items[0]).result, NAUTILUS_OPERATION_COMPLETE);
  // Once it runs again, the badges it finally sends redraw their items, each once.
  ::kill(children[0], SIGCONT);
  ASSERT_TRUE(RunUntil([&] {
    for (FakeFileInfo* item : items) {
      if (item->invalidations == 0) return false;
    }
    return true;
  })) << Log();
  for (FakeFileInfo* item : items) Ask(item);
  WaitForRoundTrip("z-locked.txt");
  for (FakeFileInfo* item : items) {
    EXPECT_EQ(item->invalidations, 1);
    EXPECT_THAT(*item->emblems, ElementsAre("vrk-locked"));
  }
}

TEST_F(NautilusModuleTest, MenuEntriesReachTheExtensionAndItsChangesRedrawTheItems) {
  FakeFileInfo* locked = File(sync_ / "a-locked.txt");
  FakeFileInfo* plain = File(sync_ / "c.txt");
  WaitUntilObserved({locked, plain});
  Ask(locked);
  Ask(plain);
  ASSERT_THAT(*locked->emblems, ElementsAre("vrk-locked"));

  GList* items = Menu(plain);
  std::vector<std::string> labels;
  std::vector<bool> sensitive;
  for (GList* l = items; l; l = l->next) {
    labels.push_back(Property(G_OBJECT(l->data), "label"));
    gboolean on = FALSE;
    g_object_get(l->data, "sensitive", &on, nullptr);
    sensitive.push_back(on);
  }
  EXPECT_THAT(labels, ElementsAre("Share", "Hide badges", "Versions", "Disabled"));
  EXPECT_THAT(sensitive, ElementsAre(true, true, true, false));
  EXPECT_THAT(Log(), HasSubstr("menu 0 " + (sync_ / "c.txt").string() + "\n"));

  // "Hide badges" empties the extension's directory set: the badged item is redrawn without its
  // emblem, the other one is left alone. Choosing it again brings the emblem back.
  const int lockedBefore = locked->invalidations;
  const int plainBefore = plain->invalidations;
  nautilus_menu_item_activate(NAUTILUS_MENU_ITEM(g_list_nth_data(items, 1)));
  EXPECT_THAT(Log(), HasSubstr("action toggleHide: Hide badges " + (sync_ / "c.txt").string()));
  ASSERT_TRUE(RunUntil([&] { return locked->invalidations > lockedBefore; }));
  EXPECT_EQ(plain->invalidations, plainBefore);
  Ask(locked);
  EXPECT_THAT(*locked->emblems, IsEmpty());
  EXPECT_TRUE(RunUntil([&] { return Log().find("end " + sync_.string()) != std::string::npos; }));

  nautilus_menu_item_activate(NAUTILUS_MENU_ITEM(g_list_nth_data(items, 1)));
  ASSERT_TRUE(RunUntil([&] { return locked->invalidations > lockedBefore + 1; }));
  Ask(locked);
  EXPECT_THAT(*locked->emblems, ElementsAre("vrk-locked"));
  g_list_free_full(items, g_object_unref);

  // No menu for several items, nor for an item outside the directory set.
  GList* both = g_list_append(g_list_append(nullptr, locked), plain);
  EXPECT_EQ(nautilus_menu_provider_get_file_items(NAUTILUS_MENU_PROVIDER(provider_), both),
            nullptr);
  g_list_free(both);
  EXPECT_EQ(Menu(File(other_ / "x.txt")), nullptr);
}

TEST_F(NautilusModuleTest, AFolderNoLongerShownEndsBeingObserved) {
  FakeFileInfo* locked = File(sync_ / "a-locked.txt");
  WaitUntilObserved({locked});
  Ask(locked);
  ASSERT_THAT(Log(), HasSubstr("begin " + sync_.string() + "\n"));
  // GNOME Files drops the items of a folder it no longer shows.
  files_.clear();
  g_object_unref(locked);
  EXPECT_TRUE(RunUntil([&] { return Log().find("end " + sync_.string()) != std::string::npos; }))
      << Log();
}

TEST_F(NautilusModuleTest, AStuckOrDeadExtensionNeverHoldsGnomeFilesUp) {
  FakeFileInfo* locked = File(sync_ / "a-locked.txt");
  FakeFileInfo* crash = File(sync_ / "crash");
  WaitUntilObserved({locked, crash});
  Ask(locked);
  ASSERT_THAT(*locked->emblems, ElementsAre("vrk-locked"));

  // The extension dies while it builds a menu: no menu, and the badges go with it...
  const int before = locked->invalidations;
  const auto start = Clock::now();
  EXPECT_EQ(Menu(crash), nullptr);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  ASSERT_TRUE(RunUntil([&] { return locked->invalidations > before; }));
  Ask(locked);
  EXPECT_THAT(*locked->emblems, IsEmpty());
  // ...until the module has started it again and the folder is asked again.
  ASSERT_TRUE(RunUntil([&] { return locked->invalidations > before + 1; })) << Log();
  Ask(locked);
  EXPECT_THAT(*locked->emblems, ElementsAre("vrk-locked"));

  // A stopped extension: the badge answer and the menu come back within their bounds.
  const std::vector<pid_t> children = vrk::ChildProcesses();
  ASSERT_EQ(children.size(), 1u);
  const pid_t pid = children[0];
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  Answer late = Ask(locked, std::chrono::seconds(10));
  EXPECT_TRUE(late.invoked);
  EXPECT_EQ(late.result, NAUTILUS_OPERATION_COMPLETE);
  const auto menuStart = Clock::now();
  EXPECT_EQ(Menu(locked), nullptr);
  EXPECT_LT(Clock::now() - menuStart, std::chrono::seconds(3));
  ::kill(pid, SIGCONT);
}

}  // namespace

TEST_F(NautilusModuleTest, TheRestOfALargeFolderWaitsUntilGnomeFilesHasAskedAboutItsItems) {
  // More names than a first screenful: the first ones in the view's order are asked at once, the
  // rest once GNOME Files has stopped asking about new items.
  const auto name = [](int i) {
    std::ostringstream text;
    text << "n" << std::setw(3) << std::setfill('0') << i << ".txt";
    return text.str();
  };
  for (int i = 0; i < 400; ++i) std::ofstream(sync_ / name(i)) << "x";
  const auto asked = [&](const std::string& item) {
    return Log().find("request " + (sync_ / item).string() + "\n") != std::string::npos;
  };

  // GNOME Files asks about one new item after another while it loads a folder, from before the
  // extension is up until well after the first screenful was asked.
  bool keptPace = true;
  bool restAsked = false;
  int afterFirst = 0;
  auto last = Clock::now();
  for (int i = 0; i < 5000 && afterFirst < 60; ++i) {
    EXPECT_EQ(Ask(File(sync_ / name(i % 256))).result, NAUTILUS_OPERATION_COMPLETE);
    // The loop runs for a moment without blocking, as GNOME Files' does between two questions.
    for (const auto until = Clock::now() + std::chrono::milliseconds(3); Clock::now() < until;) {
      while (g_main_context_iteration(nullptr, FALSE)) {
      }
      ::usleep(200);
    }
    // A machine too busy to keep GNOME Files' pace lets the module see a pause.
    const auto now = Clock::now();
    keptPace = keptPace && now - last < std::chrono::milliseconds(15);
    last = now;
    if (afterFirst > 0 || asked(name(100))) {
      ++afterFirst;
      restAsked = restAsked || asked(name(399));
    }
  }
  ASSERT_EQ(afterFirst, 60) << Log();
  if (keptPace) {
    EXPECT_FALSE(restAsked) << "the rest went out while GNOME Files was asking";
  }
  EXPECT_TRUE(RunUntil([&] { return asked(name(399)); })) << Log();
}
