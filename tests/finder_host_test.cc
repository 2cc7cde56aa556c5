// vrk-finder as a process, driven through its standard input and output, with the test
// extension of finder_test_extension.cc started by it. Each test has its own folder tree.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Platform/Foundation/SanitizerBuild.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr int kReplyTimeoutMs = 10'000;

class FinderProcess {
 public:
  FinderProcess(std::vector<std::string> args, const std::vector<std::string>& extraEnv,
                const fs::path& stderrFile) {
    int in[2];
    int out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    args.insert(args.begin(), VRK_FINDER_PROGRAM);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid_, VRK_FINDER_PROGRAM, &actions, nullptr, argv.data(), envp.data()),
              0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }

  ~FinderProcess() {
    closeInput();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(stdout_);
  }

  void write(const std::string& line) {
    std::string data = line + "\n";
    ASSERT_EQ(::write(stdin_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }

  // The next line of output, or nullopt at its end or after the time-out.
  std::optional<std::string> readLine(int timeoutMs = kReplyTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (auto newline = buffer_.find('\n'); newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      ssize_t n = ::read(stdout_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  json ask(const json& command) { return askLine(command.dump()); }

  json askLine(const std::string& text) {
    write(text);
    std::optional<std::string> line = readLine();
    if (!line) {
      ADD_FAILURE() << "no answer to " << text;
      return nullptr;
    }
    return json::parse(*line);
  }

  pid_t pid() const { return pid_; }

  void closeInput() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }

  // The exit status, or -1 after the time-out.
  int wait(int timeoutMs = kReplyTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ::usleep(5000);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
};

class FinderHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/vrk.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    top_ = dir;
    sync_ = top_ / "Sync";
    fs::create_directories(sync_ / "sub");
    for (const char* name : {"a.txt", "b-locked", "c-paused", ".hidden", "crash"}) {
      std::ofstream(sync_ / name) << name;
    }
    log_ = top_ / "extension.log";
    stderr_ = top_ / "finder.stderr";
  }

  void TearDown() override {
    finder_.reset();
    std::error_code ec;
    fs::remove_all(top_, ec);
  }

  FinderProcess& start() {
    finder_ = std::make_unique<FinderProcess>(
        std::vector<std::string>{"--extension", VRK_TEST_APPEX},
        std::vector<std::string>{"FINDER_TEST_LOG=" + log_.string(),
                                 "FINDER_TEST_ROOT=" + sync_.string(),
                                 "VRK_ROOT=" + (top_ / "root").string()},
        stderr_);
    return *finder_;
  }

  std::vector<std::string> extensionLog() const {
    std::ifstream in(log_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::string finderStderr() const {
    std::ifstream in(stderr_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string path(const std::string& name) const { return (sync_ / name).string(); }

  fs::path top_, sync_, log_, stderr_;
  std::unique_ptr<FinderProcess> finder_;
};

TEST_F(FinderHostTest, ShowsFoldersWithTheBadgesTheExtensionSets) {
  FinderProcess& finder = start();
  EXPECT_EQ(
      finder.ask({"state"}),
      json::parse(R"({"directories":[")" + sync_.string() + R"("],"extension":")" + VRK_TEST_APPEX +
                  R"(","registrations":{"1":{"image":"paused","label":"Paused"},)"
                  R"("4":{"image":"locked","label":"Locking"}}})"));

  json shown = finder.ask({"show", sync_.string() + "/"});
  EXPECT_EQ(shown["dir"], sync_.string());
  EXPECT_EQ(shown["observed"], true);
  // Name order, hidden items left out; the badges answered during the requests are there.
  EXPECT_EQ(shown["items"], json::parse(R"([
      {"name":"a.txt","path":")" + path("a.txt") +
                                        R"(","badge":""},
      {"name":"b-locked","path":")" + path("b-locked") +
                                        R"(","badge":"4"},
      {"name":"c-paused","path":")" + path("c-paused") +
                                        R"(","badge":"1"},
      {"name":"crash","path":")" + path("crash") +
                                        R"(","badge":""},
      {"name":"sub","path":")" + path("sub") +
                                        R"(","badge":""}])"));
  EXPECT_EQ(finder.ask({"badges"}),
            json({{"badges", {{path("b-locked"), "4"}, {path("c-paused"), "1"}}}}));

  // Leaving the set ends the observation; a folder deeper in it is observed again.
  EXPECT_EQ(finder.ask({"show", top_.string()})["observed"], false);
  EXPECT_EQ(finder.ask({"show", path("sub")})["observed"], true);
  EXPECT_THAT(extensionLog(),
              ElementsAre("init", "begin " + sync_.string(), "request " + path("a.txt"),
                          "request " + path("b-locked"), "request " + path("c-paused"),
                          "request " + path("crash"), "request " + path("sub"),
                          "end " + sync_.string(), "begin " + path("sub")));

  EXPECT_EQ(finder.ask({"wait-badge", path("b-locked"), "4", 0}),
            json({{"ok", true}, {"badge", "4"}}));
  EXPECT_EQ(finder.ask({"wait-badge", path("a.txt"), "4", 50}),
            json({{"ok", false}, {"badge", ""}}));
  EXPECT_EQ(finder.ask({"quit"}), json({{"ok", true}}));
  EXPECT_EQ(finder.wait(), 0);
}

TEST_F(FinderHostTest, MenusAndClicksCarryTheSelection) {
  FinderProcess& finder = start();
  finder.ask({"show", sync_.string()});
  json menu = finder.ask({"menu", 0, path("a.txt")});
  EXPECT_EQ(menu, json::parse(R"({"menu":[
      {"title":"Share","action":"shareLink:","image":"context-menu-icon","keyEquivalent":""},
      {"title":"Hide badges","action":"toggleHide:","image":null,"keyEquivalent":""},
      {"title":"Versions","action":"viewHistoryVersions:","image":null,"keyEquivalent":"v"},
      {"title":"Disabled","action":"","image":null,"keyEquivalent":""}]})"));
  EXPECT_EQ(finder.ask({"click", 0}), json({{"ok", true}}));
  EXPECT_EQ(finder.ask({"click", 2}), json({{"ok", true}}));
  EXPECT_EQ(finder.ask({"click", 3}), json({{"ok", false}}));  // no action
  EXPECT_EQ(finder.ask({"click", 4}), json({{"ok", false}}));  // no such entry

  EXPECT_EQ(finder.ask({"menu", 1, path("a.txt")}), json({{"menu", nullptr}}));
  EXPECT_EQ(finder.ask({"click", 0}), json({{"ok", false}}));  // the last menu was none
  EXPECT_EQ(finder.ask({"menu", 0, path("a.txt"), path("b-locked")}), json({{"menu", nullptr}}));
  EXPECT_EQ(finder.ask({"menu", 3}), json({{"menu", nullptr}}));

  // Hiding empties the directory set: Finder leaves the folder and drops its badges; showing
  // again brings the observation and, through the requests, the badges back.
  finder.ask({"menu", 0, path("c-paused")});
  EXPECT_EQ(finder.ask({"click", 1}), json({{"ok", true}}));
  EXPECT_EQ(finder.ask({"state"})["directories"], json::array());
  EXPECT_EQ(finder.ask({"badges"}), json({{"badges", json::object()}}));
  EXPECT_EQ(finder.ask({"click", 1}), json({{"ok", true}}));
  EXPECT_EQ(finder.ask({"wait-badge", path("b-locked"), "4", 5000}),
            json({{"ok", true}, {"badge", "4"}}));
  EXPECT_EQ(finder.ask({"quit"}), json({{"ok", true}}));
  EXPECT_EQ(finder.wait(), 0);

  std::vector<std::string> log = extensionLog();
  auto has = [&](const std::string& line) {
    return std::find(log.begin(), log.end(), line) != log.end();
  };
  EXPECT_TRUE(has("menu 0 " + path("a.txt")));
  EXPECT_TRUE(has("action shareLink: Share " + path("a.txt")));
  EXPECT_TRUE(has("action viewHistoryVersions: Versions " + path("a.txt")));
  EXPECT_TRUE(has("menu 1 " + path("a.txt")));
  EXPECT_TRUE(has("menu 0 " + path("a.txt") + " " + path("b-locked")));
  EXPECT_TRUE(has("menu 3"));
  EXPECT_TRUE(has("action toggleHide: Hide badges " + path("c-paused")));
  EXPECT_EQ(std::count(log.begin(), log.end(), "end " + sync_.string()), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "begin " + sync_.string()), 2);
  EXPECT_EQ(log.back(), "dealloc");
}

TEST_F(FinderHostTest, BadLinesGetAnErrorAndTheHostGoesOn) {
  FinderProcess& finder = start();
  EXPECT_EQ(finder.askLine("not json")["error"], "not JSON");
  json reply = finder.ask(json::parse(R"(["open", "/x"])"));
  EXPECT_EQ(reply["error"], "unknown command");
  EXPECT_THAT(finder.ask(json::parse(R"(["wait-badge", "/x"])"))["error"].get<std::string>(),
              HasSubstr("usage"));
  EXPECT_THAT(finder.ask({"show", (top_ / "missing").string()})["error"].get<std::string>(),
              HasSubstr("show: "));
  finder.write("");  // a blank line is no command and gets no answer
  EXPECT_EQ(finder.ask({"state"})["directories"], json::array({sync_.string()}));
  // End of input: the host serves what it has, then leaves; the extension's teardown runs.
  finder.write(json::array({"badges"}).dump());
  finder.closeInput();
  EXPECT_EQ(finder.readLine(), R"({"badges":{}})");
  EXPECT_EQ(finder.readLine(), std::nullopt);
  EXPECT_EQ(finder.wait(), 0);
  EXPECT_EQ(extensionLog().back(), "dealloc");
}

TEST_F(FinderHostTest, ExtensionThatDiesEndsTheHostWithFailure) {
  FinderProcess& finder = start();
  json reply = finder.ask({"menu", 0, path("crash")});
  EXPECT_TRUE(reply.contains("error")) << reply.dump();
  EXPECT_EQ(finder.readLine(), std::nullopt);
  EXPECT_EQ(finder.wait(), 1);
  EXPECT_THAT(extensionLog(), ::testing::Not(::testing::Contains("dealloc")));
  EXPECT_THAT(finderStderr(), HasSubstr("the extension ended with status 3"));
}

TEST_F(FinderHostTest, BundlesThatAreNoFinderSyncExtensionAreRefused) {
  fs::create_directories(top_ / "Plain.appex/Contents");
  std::ofstream(top_ / "Plain.appex/Contents/Info.plist")
      << R"(<plist version="1.0"><dict><key>CFBundleExecutable</key><string>x</string></dict></plist>)";
  FinderProcess plain({"--extension", (top_ / "Plain.appex").string()}, {}, stderr_);
  EXPECT_EQ(plain.wait(), 1);
  EXPECT_THAT(finderStderr(), HasSubstr("is not a FinderSync extension"));

  FinderProcess missing({"--extension", (top_ / "Missing.appex").string()}, {}, stderr_);
  EXPECT_EQ(missing.wait(), 1);
  FinderProcess usage({"--bogus"}, {}, stderr_);
  EXPECT_EQ(usage.wait(), 2);
}

// ---- Before 10.10: vrk-finder with the legacy bundle, whose object any process of the user may
// call ----

// A bus connection of the test's own that calls the bundle's vended object.
class VendedObjectCaller {
 public:
  VendedObjectCaller() {
    sd_bus* raw = nullptr;
    EXPECT_GE(sd_bus_open_user(&raw), 0);
    bus_ = raw;
  }
  ~VendedObjectCaller() { sd_bus_flush_close_unref(bus_); }

  // Sends the Apple event that loads the bundle; true when vrk-finder handled it.
  bool load() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_call_method(bus_, "org.vrk.Application.Finder", "/org/vrk/AppleEvents",
                               "org.vrk.AppleEvents", "HandleEvent", &error, nullptr, "ss", "NVTY",
                               "load");
    sd_bus_error_free(&error);
    return r >= 0;
  }

  // A call of `member` whose arguments `append` adds (each an `av`), not yet sent.
  template <typename Append>
  sd_bus_message* message(const char* member, Append append) {
    sd_bus_message* m = nullptr;
    EXPECT_GE(sd_bus_message_new_method_call(bus_, &m, "com.quenset.IPCServ.TestService",
                                             "/org/vrk/DistributedObjects/RootObject",
                                             "org.vrk.DistributedObjects", member),
              0);
    append(m);
    return m;
  }

  // Sends every message at once, then waits for all the answers: the name of each error
  // answered, "" for a plain reply, in order.
  std::vector<std::string> callAll(const std::vector<sd_bus_message*>& calls) {
    std::vector<std::string> answers(calls.size());
    std::size_t pending = 0;
    struct Slot {
      std::vector<std::string>* answers;
      std::size_t index;
      std::size_t* pending;
    };
    std::vector<Slot> slots(calls.size());
    // The bus daemon keeps at most 50,000 calls of one connection waiting for their answers.
    constexpr std::size_t kInFlight = 4096;
    for (std::size_t i = 0; i < calls.size(); ++i) {
      while (pending >= kInFlight) serveOnce();
      slots[i] = {&answers, i, &pending};
      int r = sd_bus_call_async(
          bus_, nullptr, calls[i],
          [](sd_bus_message* reply, void* userdata, sd_bus_error*) {
            auto* slot = static_cast<Slot*>(userdata);
            const sd_bus_error* error = sd_bus_message_get_error(reply);
            (*slot->answers)[slot->index] = error ? error->name : "";
            --*slot->pending;
            return 0;
          },
          &slots[i], 0);
      EXPECT_GE(r, 0);
      if (r >= 0) ++pending;
      sd_bus_message_unref(calls[i]);
    }
    while (pending > 0 && serveOnce()) {
    }
    return answers;
  }

  bool serveOnce() {
    int r = sd_bus_process(bus_, nullptr);
    if (r == 0) r = sd_bus_wait(bus_, UINT64_MAX);
    return r >= 0;
  }

  std::string call(sd_bus_message* m) { return callAll({m}).front(); }

 private:
  sd_bus* bus_ = nullptr;
};

void AppendIcon(sd_bus_message* m, std::int64_t type, const std::string& path) {
  sd_bus_message_append(m, "avav", 1, "x", type, 1, "s", path.c_str());
}

// The peak resident memory of process `pid`, in kB.
long PeakResidentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return -1;
}

// A process of the user floods the bundle's object with badges for new paths and sends strings
// far longer than any path: the bundle keeps a bounded table (a path already in it still
// changes), refuses what is too long, answers every call, and vrk-finder stays small and serving.
TEST_F(FinderHostTest, TheLegacyBundleKeepsBoundedStateWhateverItsObjectIsSent) {
  FinderProcess finder({}, {"VRK_MACOS_VERSION=10.9", "VRK_ROOT=" + (top_ / "root").string()},
                       stderr_);
  ASSERT_EQ(finder.ask({"state"}), json({{"legacy", nullptr}}));
  VendedObjectCaller caller;
  ASSERT_TRUE(caller.load());

  const std::string folder = sync_.string() + "/flood/";
  constexpr std::size_t kFlood = 70'000;
  std::vector<sd_bus_message*> calls;
  for (std::size_t i = 0; i < kFlood; ++i) {
    calls.push_back(caller.message("setIconType_toPath_", [&](sd_bus_message* m) {
      AppendIcon(m, 2, folder + "item-" + std::to_string(i));
    }));
  }
  const std::vector<std::string> answers = caller.callAll(calls);
  const auto kept = static_cast<std::size_t>(std::count(answers.begin(), answers.end(), ""));
  EXPECT_LT(kept, kFlood);
  EXPECT_GT(kept, kFlood / 2);
  for (const std::string& answer : answers) {
    if (!answer.empty()) {
      ASSERT_EQ(answer, "org.freedesktop.DBus.Error.LimitsExceeded");
    }
  }

  // At the cap a path already kept still changes; a new one is refused.
  EXPECT_EQ(
      caller.call(caller.message("setIconType_toPath_",
                                 [&](sd_bus_message* m) { AppendIcon(m, 3, folder + "item-0"); })),
      "");
  EXPECT_EQ(
      caller.call(caller.message("setIconType_toPath_",
                                 [&](sd_bus_message* m) { AppendIcon(m, 3, folder + "new"); })),
      "org.freedesktop.DBus.Error.LimitsExceeded");

  // A path longer than a path may be, and a string of 16 MiB: refused, and nothing changes.
  EXPECT_EQ(caller.call(caller.message(
                "setIconType_toPath_",
                [&](sd_bus_message* m) { AppendIcon(m, 1, folder + std::string(5000, 'p')); })),
            "org.freedesktop.DBus.Error.InvalidArgs");
  EXPECT_EQ(caller.call(caller.message("setRootFolderPath_",
                                       [&](sd_bus_message* m) {
                                         const std::string huge(16 << 20, 'r');
                                         sd_bus_message_append(m, "av", 1, "s", huge.c_str());
                                       })),
            "org.freedesktop.DBus.Error.LimitsExceeded");
  EXPECT_EQ(caller.call(caller.message(
                "setRootFolderPath_",
                [&](sd_bus_message* m) { sd_bus_message_append(m, "av", 1, "s", sync_.c_str()); })),
            "");

  const json shown = finder.ask({"state"})["legacy"];
  ASSERT_TRUE(shown.is_object());
  EXPECT_EQ(shown["root"], sync_.string());
  EXPECT_EQ(shown["badges"].size(), kept);
  EXPECT_EQ(shown["badges"][folder + "item-0"], 3);
  EXPECT_FALSE(shown["badges"].contains(folder + "new"));
  // Every call that reached the bundle with readable arguments counts, kept or not.
  EXPECT_EQ(shown["received"]["setIconType:toPath:"], kFlood + 2);

  // Holding a table of 70,000 paths, the 16 MiB string and their copies would take far more.
  const long peak = PeakResidentKilobytes(finder.pid());
  std::printf("vrk-finder: peak %ld kB, %zu of %zu badges kept\n", peak, kept, kFlood);
  if (!vrk::kBuiltWithAddressSanitizer && !vrk::kBuiltWithThreadSanitizer) {
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 64 * 1024);
  }
  // The refusals of the flood are logged once per burst, not once per call.
  const std::string log = finderStderr();
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = log.find("the badge table is full", at)) != std::string::npos;
       ++at) {
    ++lines;
  }
  EXPECT_GE(lines, 1u);
  EXPECT_LT(lines, 100u);
  EXPECT_THAT(log, HasSubstr("VRKFinderPlugin: refused setIconType_toPath_: a string of "));
  EXPECT_EQ(finder.ask({"quit"}), json({{"ok", true}}));
  EXPECT_EQ(finder.wait(), 0);
}

}  // namespace
