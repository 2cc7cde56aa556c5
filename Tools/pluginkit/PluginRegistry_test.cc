// Tests of the plug-in registry and of the pluginkit tool, run as a real process in a private
// emulated root.
#include "Tools/pluginkit/PluginRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Platform/Foundation/NSTask.h"
#include "tests/support/TemporaryRoot.h"

namespace vrk::pluginkit {
namespace {

struct Result {
  std::int64_t status = -1;
  std::string output;  // standard output, and standard error when asked for
};

// Runs pluginkit with `arguments`; with `withErrors` its standard error is captured as well.
Result Pluginkit(std::vector<std::string> arguments, bool withErrors = false) {
  NSTask task;
  if (withErrors) {
    std::string command = "exec \"$0\" \"$@\" 2>&1";
    arguments.insert(arguments.begin(), {"-c", command, PLUGINKIT});
    task.setLaunchPath("/bin/sh");
  } else {
    task.setLaunchPath(PLUGINKIT);
  }
  task.setArguments(std::move(arguments));
  auto pipe = NSPipe::pipe();
  task.setStandardOutput(pipe);
  Result result;
  if (!task.launch()) return result;
  task.waitUntilExit();
  auto bytes = pipe->readDataToEndOfFile();
  result.output.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (task.terminationReason() == NSTaskTerminationReasonExit) {
    result.status = task.terminationStatus();
  }
  return result;
}

class RegistryTest : public ::testing::Test {
 protected:
  // An extension bundle at root/<name> with the given identity; returns its path.
  std::string MakeBundle(const std::string& name, const std::string& identifier,
                         const std::string& version = "1.0",
                         const std::string& point = std::string(kFinderSyncExtensionPoint)) {
    std::filesystem::path bundle = root_ / name;
    std::filesystem::create_directories(bundle / "Contents");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" << identifier
        << "</string><key>CFBundleVersion</key><string>" << version
        << "</string><key>NSExtension</key><dict><key>NSExtensionPointIdentifier</key><string>"
        << point << "</string></dict></dict></plist>";
    return bundle.string();
  }

  TemporaryRoot root_;
};

TEST_F(RegistryTest, ListingShowsEveryCopyNewestFirstWithTheElectionOnTheElectedOne) {
  EXPECT_EQ(Pluginkit({"-m", "-v", "-i", "com.x"}).output, "");
  EXPECT_EQ(Pluginkit({"-m", "-v", "-i", "com.x"}).status, 0);

  std::string old = MakeBundle("Old.appex", "com.x", "1.0");
  std::string other = MakeBundle("Other.appex", "com.other", "7");
  std::string fresh = MakeBundle("New.appex", "com.x", "2.1");
  for (const std::string& path : {old, other, fresh}) EXPECT_EQ(Pluginkit({"-a", path}).status, 0);

  EXPECT_EQ(Pluginkit({"-m", "-v", "-i", "com.x"}).output,
            "?    com.x(2.1)\t" + fresh + "\n" + "     com.x(1.0)\t" + old + "\n");
  EXPECT_EQ(Pluginkit({"-m", "-i", "com.x"}).output, "?    com.x(2.1)\n     com.x(1.0)\n");

  EXPECT_EQ(Pluginkit({"-e", "use", "-i", "com.x"}).status, 0);
  EXPECT_EQ(Pluginkit({"-m", "-i", "com.x"}).output, "+    com.x(2.1)\n     com.x(1.0)\n");
  EXPECT_EQ(Pluginkit({"-e", "ignore", "-i", "com.other"}).status, 0);
  EXPECT_EQ(Pluginkit({"-m", "-i", "com.other"}).output, "-    com.other(7)\n");

  // Registering a copy again makes it the newest; the election stays with the identifier.
  EXPECT_EQ(Pluginkit({"-a", old + "/"}).status, 0);
  EXPECT_EQ(Pluginkit({"-m", "-v", "-i", "com.x"}).output,
            "+    com.x(1.0)\t" + old + "\n" + "     com.x(2.1)\t" + fresh + "\n");

  // Without -i every copy is listed; ElectedCopies leaves the ignored identifier out.
  EXPECT_EQ(Pluginkit({"-m"}).output, "+    com.x(1.0)\n     com.x(2.1)\n-    com.other(7)\n");
  std::vector<Registration> elected = ElectedCopies(ReadRegistry(), kFinderSyncExtensionPoint);
  ASSERT_EQ(elected.size(), 1u);
  EXPECT_EQ(elected[0].path, old);
}

TEST_F(RegistryTest, RemovalKeepsTheElectionAndAGoneBundleStaysListed) {
  std::string first = MakeBundle("A.appex", "com.x");
  std::string second = MakeBundle("B.appex", "com.x");
  Pluginkit({"-a", first});
  Pluginkit({"-a", second});
  Pluginkit({"-e", "ignore", "-i", "com.x"});

  std::filesystem::remove_all(second);
  EXPECT_EQ(Pluginkit({"-m", "-v", "-i", "com.x"}).output,
            "-    com.x(1.0)\t" + second + "\n     com.x(1.0)\t" + first + "\n");

  EXPECT_EQ(Pluginkit({"-r", second}).status, 0);
  EXPECT_EQ(Pluginkit({"-r", second}).status, 0);  // nothing left to remove
  EXPECT_EQ(Pluginkit({"-m", "-v", "-i", "com.x"}).output, "-    com.x(1.0)\t" + first + "\n");
  EXPECT_EQ(Pluginkit({"-r", first}).status, 0);
  EXPECT_EQ(Pluginkit({"-m", "-v"}).output, "");

  // A copy registered later gets the identifier's election back.
  Pluginkit({"-a", first});
  EXPECT_EQ(Pluginkit({"-m", "-i", "com.x"}).output, "-    com.x(1.0)\n");
}

TEST_F(RegistryTest, BadCommandLinesAndFailedCommands) {
  const std::string usage =
      "usage: pluginkit -a PATH | -r PATH | -m [-v] [-i ID] | -e use|ignore -i ID\n";
  for (const std::vector<std::string>& words :
       std::vector<std::vector<std::string>>{{},
                                             {"-x"},
                                             {"-a"},
                                             {"-r"},
                                             {"-m", "-i"},
                                             {"-m", "-i", ""},
                                             {"-e", "use"},
                                             {"-e", "maybe", "-i", "com.x"},
                                             {"-a", "/p", "-r", "/q"},
                                             {"-m", "extra"}}) {
    Result result = Pluginkit(words, true);
    EXPECT_EQ(result.status, 64) << ::testing::PrintToString(words);
    EXPECT_EQ(result.output, usage) << ::testing::PrintToString(words);
  }
  EXPECT_EQ(Pluginkit({"-a", (root_ / "missing.appex").string()}).status, 1);
  std::string notExtension = MakeBundle("Plain.app", "com.plain", "1", "");
  EXPECT_EQ(Pluginkit({"-a", notExtension}, true).output,
            "pluginkit: " + notExtension + ": the bundle names no NSExtensionPointIdentifier\n");
  EXPECT_EQ(Pluginkit({"-e", "use", "-i", "com.unknown"}).status, 1);
  EXPECT_EQ(Pluginkit({"-m"}).output, "");
}

// Paths reach the registry exactly, whatever they hold.
TEST_F(RegistryTest, AnyPathIsRegisteredAsItIs) {
  std::vector<std::string> paths;
  for (std::string name : {"with blank.appex", "q'uo\"te.appex", "$(touch x).appex",
                           "`id`;|&*.appex", "back\\n-slash.appex", "-dash.appex", "ünï.appex"}) {
    paths.push_back(MakeBundle(name, "com.x." + std::to_string(paths.size())));
    EXPECT_EQ(Pluginkit({"-a", paths.back()}).status, 0) << name;
  }
  Registry registry = ReadRegistry();
  ASSERT_EQ(registry.plugins.size(), paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(registry.plugins[paths.size() - 1 - i].path, paths[i]);
  }
}

TEST_F(RegistryTest, ACorruptRegistryReadsAsEmptyAndIsKeptAsideByTheNextChange) {
  std::filesystem::create_directories(RegistryPath().parent_path());
  std::ofstream(RegistryPath()) << "{\"plugins\": [{\"path\": 3}";
  EXPECT_EQ(Pluginkit({"-m", "-v"}).output, "");
  std::string bundle = MakeBundle("A.appex", "com.x");
  EXPECT_EQ(Pluginkit({"-a", bundle}).status, 0);
  EXPECT_EQ(ReadRegistry().plugins.size(), 1u);
  std::ifstream aside(RegistryPath().string() + ".corrupt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(aside), {}), "{\"plugins\": [{\"path\": 3}");
}

// The listing is one line per copy, and installers read it line by line: a path with a line
// break is refused, and one registered before that is listed escaped and removed by that form.
TEST_F(RegistryTest, LineBreaksInPathsAreRefusedAndOldOnesListedEscapedAndRemovable) {
  for (const std::string name :
       {"new\nline.appex", "carriage\rreturn.appex", "forged\n+    com.x(9)\t/own.appex"}) {
    const std::string path = MakeBundle(name, "com.x");
    Result result = Pluginkit({"-a", path}, true);
    EXPECT_EQ(result.status, 1) << name;
    EXPECT_NE(result.output.find("the path holds a line break or a carriage return"),
              std::string::npos)
        << name;
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << name;
  }
  EXPECT_EQ(Pluginkit({"-m", "-v"}).output, "");
  EXPECT_EQ(Pluginkit({"-a", MakeBundle("Id.appex", "com.line\nbreak")}).status, 1);

  // Registrations of an earlier version, written into the file as it held them.
  std::filesystem::create_directories(RegistryPath().parent_path());
  Registry old;
  for (const std::string path : {"/old/a\nb.appex", "/old/c\rd\\e.appex", "/old/plain\\n.appex",
                                 "/old/forged\n+    com.x(9)\t/own.appex"}) {
    old.plugins.push_back({path, "com.x", "1", std::string(kFinderSyncExtensionPoint)});
  }
  std::ofstream(RegistryPath()) << SerializeRegistry(old);
  EXPECT_EQ(Pluginkit({"-m", "-v", "-i", "com.x"}).output,
            "?    com.x(1)\t/old/a\\nb.appex\n"
            "     com.x(1)\t/old/c\\rd\\\\e.appex\n"
            "     com.x(1)\t/old/plain\\n.appex\n"
            "     com.x(1)\t/old/forged\\n+    com.x(9)\t/own.appex\n");

  // What the listing shows removes the copy; an ordinary path keeps its exact meaning.
  EXPECT_EQ(Pluginkit({"-r", "/old/plain\\n.appex"}).status, 0);
  EXPECT_EQ(ReadRegistry().plugins.size(), 3u);
  EXPECT_EQ(ReadRegistry().plugins[0].path, "/old/a\nb.appex");
  EXPECT_EQ(Pluginkit({"-r", "/old/a\\nb.appex"}).status, 0);
  EXPECT_EQ(Pluginkit({"-r", "/old/c\\rd\\\\e.appex"}).status, 0);
  EXPECT_EQ(Pluginkit({"-r", "/old/forged\n+    com.x(9)\t/own.appex"}).status, 0);  // exact
  EXPECT_EQ(ReadRegistry().plugins.size(), 0u);
}

// Files that can never be a registry are kept aside as garbage is, so registering works again.
TEST_F(RegistryTest, ARegistryThatCannotBeAFileIsKeptAsideByTheNextChange) {
  const std::filesystem::path path = RegistryPath();
  const std::filesystem::path aside = path.string() + ".corrupt";
  const std::pair<std::string, std::function<void()>> damages[] = {
      {"a folder", [&] { std::filesystem::create_directories(path / "inner"); }},
      {"a symlink loop", [&] { std::filesystem::create_symlink(path, path); }},
      {"over the size limit",
       [&] {
         std::ofstream(path) << "{\"plugins\": [], \"pad\": \""
                             << std::string(kMaxRegistryBytes, 'x') << "\"}";
       }},
      {"a folder again, over the folder kept aside",
       [&] { std::filesystem::create_directories(path / "other"); }},
  };
  const std::string bundle = MakeBundle("A.appex", "com.x");
  for (const auto& [what, damage] : damages) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    std::filesystem::create_directories(path.parent_path());
    damage();
    EXPECT_EQ(Pluginkit({"-m", "-v"}).output, "") << what;
    Result added = Pluginkit({"-a", bundle}, true);
    EXPECT_EQ(added.status, 0) << what << ": " << added.output;
    EXPECT_EQ(ReadRegistry().plugins.size(), 1u) << what;
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path))) << what;
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(aside))) << what;
  }
}

TEST(RegistryCodecTest, RoundTripAndRejection) {
  Registry registry;
  registry.plugins = {{"/a b/X.appex", "com.x", "2", "com.apple.FinderSync"},
                      {"/c/Y.appex", "com.y", "1", "p"}};
  registry.elections = {{"com.x", Election::Use}, {"com.y", Election::Ignore}};
  std::string bytes = SerializeRegistry(registry);
  std::optional<Registry> back = ParseRegistry(std::as_bytes(std::span(bytes)), nullptr);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->plugins, registry.plugins);
  EXPECT_EQ(back->elections, registry.elections);

  for (const std::string& bad : std::vector<std::string>{
           "", "[]", "{\"plugins\": {}}", "{\"plugins\": [1]}",
           "{\"plugins\": [{\"path\": \"/p\", \"identifier\": \"i\"}]}",
           "{\"plugins\": [{\"path\": \"rel\", \"identifier\": \"i\", \"version\": "
           "\"1\", \"point\": \"p\"}]}",
           "{\"elections\": {\"i\": \"maybe\"}}", "{\"elections\": []}",
           "{\"plugins\": [\"\xff\"]}", std::string(100000, '[')}) {
    std::string error;
    EXPECT_FALSE(ParseRegistry(std::as_bytes(std::span(bad)), &error)) << bad.substr(0, 40);
    EXPECT_FALSE(error.empty());
  }
}

// Two registrations at once, many times over: the lock and the atomic replacement lose neither.
TEST_F(RegistryTest, ConcurrentRegistrationsLoseNothing) {
  std::string a = MakeBundle("A.appex", "com.a");
  std::string b = MakeBundle("B.appex", "com.b");
  for (int round = 0; round < 100; ++round) {
    std::filesystem::remove(RegistryPath());
    NSTask first, second;
    for (auto [task, path] : {std::pair{&first, &a}, {&second, &b}}) {
      task->setLaunchPath(PLUGINKIT);
      task->setArguments({"-a", *path});
      ASSERT_TRUE(task->launch());
    }
    first.waitUntilExit();
    second.waitUntilExit();
    ASSERT_EQ(first.terminationStatus(), 0);
    ASSERT_EQ(second.terminationStatus(), 0);
    ASSERT_EQ(ReadRegistry().plugins.size(), 2u) << "round " << round;
  }
}

}  // namespace
}  // namespace vrk::pluginkit
