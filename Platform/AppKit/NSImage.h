// NSImage as a plain model: an image is its name and the bundle that holds it.
//
// Contract:
// - imageNamed() looks the name up among the main bundle's resources (the name itself, then
//   with the extensions png, svg, pdf, tiff and icns). When a file is found the image records
//   it and the bundle's path; when none is, the image still carries the name, with no bundle
//   and no file, so that a host that knows the name can draw it. An empty name gives null.
// - Images are immutable and shared; any thread may use them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vrk {

class NSImage {
 public:
  static std::shared_ptr<const NSImage> imageNamed(std::string_view name);

  NSImage(std::string name, std::optional<std::string> bundlePath,
          std::optional<std::string> filePath);

  const std::string& name() const { return name_; }
  // The folder of the bundle that holds the image, or nullopt when no bundle does.
  const std::optional<std::string>& bundlePath() const { return bundlePath_; }
  // The image file, or nullopt.
  const std::optional<std::string>& filePath() const { return filePath_; }
  // What %@ prints: "<NSImage name>".
  std::string description() const { return "<NSImage " + name_ + ">"; }

 private:
  std::string name_;
  std::optional<std::string> bundlePath_;
  std::optional<std::string> filePath_;
};

}  // namespace vrk
