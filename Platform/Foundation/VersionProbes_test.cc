#include "Platform/Foundation/VersionProbes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "Platform/Foundation/NSLog.h"

namespace vrk {
namespace {

class EmulatedVersion : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("VRK_MACOS_VERSION")) old_ = old;
  }
  void TearDown() override {
    if (old_) {
      setenv("VRK_MACOS_VERSION", old_->c_str(), 1);
    } else {
      unsetenv("VRK_MACOS_VERSION");
    }
  }
  void emulate(const char* version) { setenv("VRK_MACOS_VERSION", version, 1); }

  std::optional<std::string> old_;
};

TEST_F(EmulatedVersion, DefaultsTo1015AndIsReadOnEveryCall) {
  unsetenv("VRK_MACOS_VERSION");
  EXPECT_EQ(EmulatedMacOSVersion(), (MacOSVersion{10, 15, 0}));
  emulate("10.9.5");
  EXPECT_EQ(EmulatedMacOSVersion(), (MacOSVersion{10, 9, 5}));
  emulate("12");
  EXPECT_EQ(EmulatedMacOSVersion(), (MacOSVersion{12, 0, 0}));
  LogCapture capture;
  for (const char* bad : {"ten", "10.", "10.x", "-1.2", "1.2.3.4", " 10.10"}) {
    emulate(bad);
    EXPECT_EQ(EmulatedMacOSVersion(), (MacOSVersion{10, 15, 0})) << bad;
  }
  EXPECT_LE(capture.countContaining("VRK_MACOS_VERSION"), 1u);
}

// The two capability tests of the library: Yosemite (10.10) brings NSGestureRecognizer and
// El Capitan (10.11) brings -[NSCollectionView backgroundView].
TEST_F(EmulatedVersion, ProbesAnswerForTheEmulatedRelease) {
  struct Case {
    const char* version;
    bool gesture;
    bool backgroundView;
  };
  for (Case c : {Case{"10.9", false, false}, Case{"10.9.5", false, false},
                 Case{"10.10", true, false}, Case{"10.10.5", true, false},
                 Case{"10.11", true, true}, Case{"10.15", true, true}, Case{"14.2", true, true}}) {
    emulate(c.version);
    EXPECT_EQ(NSClassFromString("NSGestureRecognizer"), c.gesture) << c.version;
    EXPECT_TRUE(NSClassFromString("NSCollectionView")) << c.version;
    EXPECT_EQ(instancesRespondToSelector("NSCollectionView", "backgroundView"), c.backgroundView)
        << c.version;
  }
}

TEST_F(EmulatedVersion, UnknownNamesDoNotExist) {
  emulate("10.15");
  EXPECT_FALSE(NSClassFromString("nsgesturerecognizer"));
  EXPECT_FALSE(instancesRespondToSelector("NSNoSuchClass", "backgroundView"));
  EXPECT_FALSE(instancesRespondToSelector("NSBundle", "backgroundView"));
  EXPECT_TRUE(instancesRespondToSelector("NSCollectionView", "description"));  // from NSObject
}

}  // namespace
}  // namespace vrk
