#include "Platform/FinderSync/NSExtensionMain.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <charconv>
#include <cstdlib>
#include <map>
#include <mutex>

#include "Platform/FinderSync/HostConnection.h"
#include "Platform/FinderSync/HostProtocol.h"
#include "Platform/Foundation/NSBundle.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"

namespace vrk {
namespace {

constexpr std::string_view kFinderSyncExtensionPoint = "com.apple.FinderSync";

struct Registry {
  std::mutex mutex;
  std::map<std::string, PrincipalClassFactory, std::less<>> factories;
};

// A function-local static, so that registrations from static initializers of other files
// find it constructed.
Registry& TheRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

// The descriptor the host passed, made close-on-exec so that nothing the extension starts
// inherits it; -1 with a log line when it is missing or not a socket.
int TakeHostDescriptor() {
  const char* text = std::getenv(findersync::kFinderFdEnv);
  if (text == nullptr || *text == '\0') {
    NSLog("NSExtensionMain: not started by a file manager host (%s is not set)",
          findersync::kFinderFdEnv);
    return -1;
  }
  int fd = -1;
  std::string_view view(text);
  auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), fd);
  struct stat st {};
  if (error != std::errc() || end != view.data() + view.size() || fd < 0 || ::fstat(fd, &st) != 0 ||
      !S_ISSOCK(st.st_mode)) {
    NSLog("NSExtensionMain: %s=%s does not name a socket", findersync::kFinderFdEnv, text);
    return -1;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  ::unsetenv(findersync::kFinderFdEnv);
  return fd;
}

// The principal class named by the main bundle's Info.plist, or nullopt with a log line.
std::optional<std::string> PrincipalClassName() {
  std::shared_ptr<NSBundle> bundle = NSBundle::mainBundle();
  Object extension = bundle->infoDictionary().objectForKey("NSExtension");
  std::optional<std::string> point =
      extension.objectForKey("NSExtensionPointIdentifier").stringOrNil();
  std::optional<std::string> name =
      extension.objectForKey("NSExtensionPrincipalClass").stringOrNil();
  if (!point || *point != kFinderSyncExtensionPoint || !name || name->empty()) {
    NSLog("NSExtensionMain: %s has no FinderSync extension information in its Info.plist",
          bundle->bundlePath());
    return std::nullopt;
  }
  return name;
}

}  // namespace

bool RegisterPrincipalClass(std::string name, PrincipalClassFactory factory) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  return registry.factories.emplace(std::move(name), std::move(factory)).second;
}

std::shared_ptr<FIFinderSync> CreatePrincipalObject(std::string_view name) {
  PrincipalClassFactory factory;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto it = registry.factories.find(name);
    if (it == registry.factories.end()) return nullptr;
    factory = it->second;
  }
  return factory ? factory() : nullptr;
}

int NSExtensionMain(int, char**) {
  RunLoop& loop = RunLoop::main();
  std::optional<std::string> className = PrincipalClassName();
  if (!className) return 1;
  int fd = TakeHostDescriptor();
  if (fd < 0) return 1;

  std::unique_ptr<findersync::ExtensionHostConnection> connection =
      findersync::ExtensionHostConnection::open(fd, loop.event());
  if (!connection) return 1;
  FIFinderSyncController::setDefaultController(connection->controller());
  connection->setDisconnectHandler([&loop] { loop.stop(); });

  std::shared_ptr<FIFinderSync> principal = CreatePrincipalObject(*className);
  if (!principal) {
    NSLog("NSExtensionMain: cannot create an object of the principal class %s", *className);
    FIFinderSyncController::setDefaultController(nullptr);
    return 1;
  }
  std::weak_ptr<FIFinderSync> watch = principal;
  connection->setPrincipal(std::move(principal));
  connection->sendReady();

  while (connection->isConnected()) loop.run();

  // The host has gone: release the principal object so that its teardown runs now, on the
  // main thread, while the platform around it still exists.
  connection->releasePrincipal().reset();
  if (!watch.expired()) {
    NSLog("NSExtensionMain: the principal object is still referenced after the host went away");
  }
  FIFinderSyncController::setDefaultController(nullptr);
  connection.reset();
  return 0;
}

}  // namespace vrk
