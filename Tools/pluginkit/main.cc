// pluginkit, the plug-in registry tool of the emulated system, with the command line of the
// real one as far as this system uses it:
//   pluginkit -a PATH            register the bundle at PATH
//   pluginkit -r PATH            remove the registration of PATH (or of the path listed as PATH)
//   pluginkit -m [-v] [-i ID]    list the copies of ID (all copies without -i)
//   pluginkit -e use|ignore -i ID
// Exit status: 0 on success, 1 when the command could not be carried out (not a bundle, no copy
// of ID, the registry locked or unwritable), 64 for a bad command line.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "Tools/pluginkit/PluginRegistry.h"

namespace {

using namespace vrk::pluginkit;

constexpr int kUsageError = 64;  // EX_USAGE

int Usage() {
  std::fputs("usage: pluginkit -a PATH | -r PATH | -m [-v] [-i ID] | -e use|ignore -i ID\n",
             stderr);
  return kUsageError;
}

int Failed(const std::string& what) {
  std::fprintf(stderr, "pluginkit: %s\n", what.c_str());
  return 1;
}

struct CommandLine {
  char command = 0;      // 'a', 'r', 'm' or 'e'
  std::string argument;  // the path of -a/-r, the election of -e
  std::optional<std::string> identifier;
  bool verbose = false;
};

// Options take the next word as their argument whatever it looks like, so a path that begins
// with "-" is a path.
std::optional<CommandLine> Parse(int argc, char** argv) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    std::string_view word(argv[i]);
    auto next = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (word == "-v") {
      line.verbose = true;
    } else if (word == "-i") {
      if (line.identifier || !(line.identifier = next()) || line.identifier->empty()) {
        return std::nullopt;
      }
    } else if (word == "-a" || word == "-r" || word == "-e" || word == "-m") {
      if (line.command) return std::nullopt;
      line.command = word[1];
      if (word != "-m") {
        std::optional<std::string> argument = next();
        if (!argument) return std::nullopt;
        line.argument = std::move(*argument);
      }
    } else {
      return std::nullopt;
    }
  }
  switch (line.command) {
    case 'a':
    case 'r':
      if (line.identifier || line.verbose) return std::nullopt;
      break;
    case 'e':
      if (!line.identifier || line.verbose) return std::nullopt;
      if (line.argument != "use" && line.argument != "ignore") return std::nullopt;
      break;
    case 'm':
      break;
    default:
      return std::nullopt;
  }
  return line;
}

int Add(const std::string& path) {
  std::string error;
  std::optional<Registration> registration = RegistrationForBundle(path, &error);
  // The message is one line, whatever the path holds.
  if (!registration) return Failed(ListedText(path) + ": " + error);
  bool ok = UpdateRegistry(
      [&](Registry& registry) {
        Register(registry, *registration);
        return true;
      },
      &error);
  return ok ? 0 : Failed(error);
}

int Remove(const std::string& path) {
  const std::string normalized = NormalizedPath(path);
  std::string error;
  bool ok = UpdateRegistry(
      [&](Registry& registry) { return UnregisterListed(registry, normalized); }, &error);
  return ok ? 0 : Failed(error);
}

int Elect(const std::string& election, const std::string& identifier) {
  std::string error;
  bool known = false;
  bool ok = UpdateRegistry(
      [&](Registry& registry) {
        known = Elect(registry, identifier, election == "use" ? Election::Use : Election::Ignore);
        return known;
      },
      &error);
  if (!ok) return Failed(error);
  return known ? 0 : Failed("no plug-in registered with identifier " + identifier);
}

int List(const CommandLine& line) {
  Registry registry = ReadRegistry();
  std::string out = FormatListing(Matches(registry, line.identifier.value_or("")), line.verbose);
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<CommandLine> line = Parse(argc, argv);
  if (!line) return Usage();
  switch (line->command) {
    case 'a':
      return Add(line->argument);
    case 'r':
      return Remove(line->argument);
    case 'e':
      return Elect(line->argument, *line->identifier);
    default:
      return List(*line);
  }
}
