#include "Platform/AppKit/NSImage.h"

#include "Platform/Foundation/NSBundle.h"

namespace vrk {

NSImage::NSImage(std::string name, std::optional<std::string> bundlePath,
                 std::optional<std::string> filePath)
    : name_(std::move(name)), bundlePath_(std::move(bundlePath)), filePath_(std::move(filePath)) {}

std::shared_ptr<const NSImage> NSImage::imageNamed(std::string_view name) {
  if (name.empty()) return nullptr;
  std::shared_ptr<NSBundle> bundle = NSBundle::mainBundle();
  for (std::string_view type : {"", "png", "svg", "pdf", "tiff", "icns"}) {
    if (std::optional<std::string> file = bundle->pathForResource(name, type)) {
      return std::make_shared<const NSImage>(std::string(name), bundle->bundlePath(),
                                             std::move(file));
    }
  }
  return std::make_shared<const NSImage>(std::string(name), std::nullopt, std::nullopt);
}

}  // namespace vrk
