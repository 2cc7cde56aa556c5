// vrk-finder [--extension PATH.appex]
//
// The stand-in for Finder: starts the FinderSync extension of the bundle, or without one the
// copy that the plug-in registry elects (FinderHost.h), reads one JSON
// command per line on standard input and answers each with one JSON object per line on
// standard output (see FinderCommand.h and FinderHost.h). On an emulated system before 10.10
// (VRK_MACOS_VERSION) and without --extension it is the Finder of that system, which has no
// extensions but answers Apple events and loads the legacy bundle (LegacyFinder.h).
// Exit status: 0 after a clean end, 1 when the extension failed or left first, 2 for a bad
// command line.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Platform/Foundation/RunLoop.h"
#include "Platform/Foundation/VersionProbes.h"
#include "Tools/finder/FinderHost.h"
#include "Tools/finder/LegacyFinder.h"

namespace {

using nlohmann::json;

bool g_outputBroken = false;

void WriteLine(const json& reply) {
  if (g_outputBroken) return;
  std::string line = reply.dump(-1, ' ', false, json::error_handler_t::replace);
  line.push_back('\n');
  std::string_view rest(line);
  while (!rest.empty()) {
    ssize_t n = ::write(STDOUT_FILENO, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Nobody reads our answers any more: there is no point in going on.
      g_outputBroken = true;
      vrk::RunLoop::main().stop();
      return;
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

int Usage() {
  std::fprintf(stderr, "usage: vrk-finder [--extension PATH.appex]\n");
  return 2;
}

// Feeds standard input to the host and runs the main loop until the host is finished.
template <typename Host>
int Serve(std::unique_ptr<Host> host) {
  vrk::RunLoop& loop = vrk::RunLoop::main();
  auto readSome = [&host]() -> bool {
    char buffer[64 * 1024];
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
      host->endOfInput();
      return false;
    }
    host->feed(std::span<const char>(buffer, static_cast<std::size_t>(n)));
    return true;
  };
  vrk::RunLoopSource input;
  struct stat st {};
  const bool pollable = ::fstat(STDIN_FILENO, &st) == 0 && !S_ISREG(st.st_mode);
  if (pollable) {
    input = loop.addReadSource(STDIN_FILENO, [&] {
      if (!readSome()) input.reset();
    });
  }
  if (!input) {
    // A file (or anything else the loop cannot watch) is read in full at once.
    loop.perform([&] {
      while (readSome() && !host->finished()) {
      }
    });
  }

  while (!host->finished() && !g_outputBroken) loop.run();
  input.reset();
  int status = host->shutdown();
  host.reset();
  return g_outputBroken ? 1 : status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bundle;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg(argv[i]);
    if (arg == "--extension" && i + 1 < argc) {
      bundle = argv[++i];
    } else if (arg.starts_with("--extension=")) {
      bundle = std::string(arg.substr(std::strlen("--extension=")));
    } else {
      return Usage();
    }
  }
  ::signal(SIGPIPE, SIG_IGN);

  (void)vrk::RunLoop::main();  // the main thread's loop is the main one
  std::string error;
  if (bundle.empty() && vrk::EmulatedMacOSVersion() < vrk::MacOSVersion{10, 10, 0}) {
    auto finder = vrk::finder::LegacyFinder::launch(WriteLine, &error);
    if (!finder) {
      std::fprintf(stderr, "vrk-finder: %s\n", error.c_str());
      return 1;
    }
    return Serve(std::move(finder));
  }
  // Without a bundle, the host starts what the plug-in registry elects, as Finder does.
  std::unique_ptr<vrk::finder::FinderHost> host =
      bundle.empty() ? vrk::finder::FinderHost::launchElected(WriteLine)
                     : vrk::finder::FinderHost::launch(bundle, WriteLine, &error);
  if (!host) {
    std::fprintf(stderr, "vrk-finder: %s\n", error.c_str());
    return 1;
  }
  return Serve(std::move(host));
}
