// A tiny FinderSync extension for the host tests. It writes what it is asked to the file named
// by FINDER_TEST_LOG, one line per event, observes FINDER_TEST_ROOT, answers badge requests for
// names containing "locked" (4) or "paused" (1) (for names containing "pushed", "paused" comes a
// moment after the request was answered, as a badge the sync client changes), and offers a small
// menu whose "toggleHide:" entry empties or restores its directory set.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "Platform/FinderSync/NSExtensionMain.h"
#include "Platform/Foundation/RunLoop.h"

namespace {

using vrk::FIFinderSyncController;
using vrk::NSURL;

void Log(const std::string& event) {
  const char* file = std::getenv("FINDER_TEST_LOG");
  if (file == nullptr) return;
  int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  std::string line = event + "\n";
  [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
  ::close(fd);
}

class TestFinderSync final : public vrk::FIFinderSync {
 public:
  TestFinderSync() {
    Log("init");
    auto controller = FIFinderSyncController::defaultController();
    showRoot();
    controller->setBadgeImage(vrk::NSImage::imageNamed("locked"), "Locking", "4");
    controller->setBadgeImage(vrk::NSImage::imageNamed("paused"), "Paused", "1");
  }
  ~TestFinderSync() override { Log("dealloc"); }

  std::string className() const override { return "FinderSync"; }

  void beginObservingDirectoryAtURL(const NSURL& url) override { Log("begin " + url.path()); }
  void endObservingDirectoryAtURL(const NSURL& url) override { Log("end " + url.path()); }
  void requestBadgeIdentifierForURL(const NSURL& url) override {
    Log("request " + url.path());
    const std::string name = url.lastPathComponent();
    if (name.find("locked") != std::string::npos) {
      FIFinderSyncController::defaultController()->setBadgeIdentifier("4", url);
    } else if (name.find("paused") != std::string::npos) {
      FIFinderSyncController::defaultController()->setBadgeIdentifier("1", url);
    } else if (name.find("pushed") != std::string::npos) {
      later_.push_back(vrk::RunLoop::main().addTimer(std::chrono::milliseconds(200), [url] {
        FIFinderSyncController::defaultController()->setBadgeIdentifier("1", url);
      }));
    }
  }

  std::shared_ptr<vrk::NSMenu> menuForMenuKind(vrk::FIMenuKind kind) override {
    auto selected = FIFinderSyncController::defaultController()->selectedItemURLs();
    std::string event = "menu " + std::to_string(static_cast<int>(kind));
    for (const NSURL& url : selected) event += " " + url.path();
    Log(event);
    if (kind != vrk::FIMenuKindContextualMenuForItems || selected.size() != 1) return nullptr;
    if (selected[0].lastPathComponent() == "crash") std::_Exit(3);
    auto menu = vrk::NSMenu::initWithTitle("");
    menu->addItemWithTitle("Share", "shareLink:", "")
        ->setImage(vrk::NSImage::imageNamed("context-menu-icon"));
    menu->addItemWithTitle("Hide badges", "toggleHide:", "");
    menu->addItemWithTitle("Versions", "viewHistoryVersions:", "v");
    menu->addItemWithTitle("Disabled", "", "");
    return menu;
  }

  bool performMenuAction(std::string_view selector,
                         const std::shared_ptr<vrk::NSMenuItem>& sender) override {
    auto selected = FIFinderSyncController::defaultController()->selectedItemURLs();
    Log("action " + std::string(selector) + " " + (sender ? sender->title() : "(null)") + " " +
        (selected.empty() ? "(none)" : selected[0].path()));
    if (selector == "toggleHide:") {
      hidden_ = !hidden_;
      if (hidden_) {
        FIFinderSyncController::defaultController()->setDirectoryURLs(std::nullopt);
      } else {
        showRoot();
      }
      return true;
    }
    return selector == "shareLink:" || selector == "viewHistoryVersions:";
  }

 private:
  void showRoot() {
    if (const char* root = std::getenv("FINDER_TEST_ROOT")) {
      FIFinderSyncController::defaultController()->setDirectoryURLs(
          std::set<NSURL>{*NSURL::fileURLWithPath(root)});
    }
  }
  bool hidden_ = false;
  std::vector<vrk::RunLoopSource> later_;
};

// The executable's main() is the platform's (vrk_nsextension_main): register before it runs.
const bool kRegistered =
    vrk::RegisterPrincipalClass("FinderSync", [] { return std::make_shared<TestFinderSync>(); });

}  // namespace
