// The emulated authorization agent: each answer of VRK_AUTHORIZATION, the flags that allow
// asking, and references that are not (or no longer) ours.
#include "Platform/Security/Authorization.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace vrk {
namespace {

constexpr AuthorizationFlags kBlessFlags = kAuthorizationFlagInteractionAllowed |
                                           kAuthorizationFlagExtendRights |
                                           kAuthorizationFlagPreAuthorize;

class AuthorizationAgent : public ::testing::Test {
 protected:
  void TearDown() override { ::unsetenv("VRK_AUTHORIZATION"); }

  OSStatus ask(AuthorizationRef ref, AuthorizationFlags flags = kBlessFlags) {
    AuthorizationItem item{"com.apple.ServiceManagement.blesshelper", 0, nullptr, 0};
    AuthorizationRights rights{1, &item};
    return AuthorizationCopyRights(ref, &rights, nullptr, flags, nullptr);
  }
};

TEST_F(AuthorizationAgent, EachAnswerGivesItsStatusAndOnlyAllowGrants) {
  EXPECT_EQ(kBlessFlags, 19u);
  struct Case {
    const char* answer;
    OSStatus status;
  } cases[] = {{nullptr, errAuthorizationSuccess},
               {"allow", errAuthorizationSuccess},
               {"deny", errAuthorizationDenied},
               {"cancel", errAuthorizationCanceled},
               {"maybe", errAuthorizationDenied}};
  for (const Case& c : cases) {
    if (c.answer)
      ::setenv("VRK_AUTHORIZATION", c.answer, 1);
    else
      ::unsetenv("VRK_AUTHORIZATION");
    AuthorizationRef ref = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &ref),
              errAuthorizationSuccess);
    EXPECT_EQ(ask(ref), c.status) << (c.answer ? c.answer : "unset");
    EXPECT_EQ(AuthorizationHasRight(ref, "com.apple.ServiceManagement.blesshelper"),
              c.status == errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDefaults), errAuthorizationSuccess);
  }
}

TEST_F(AuthorizationAgent, FlagsDecideWhetherTheAgentIsAsked) {
  AuthorizationRef ref = nullptr;
  ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, 0, &ref), errAuthorizationSuccess);
  EXPECT_EQ(ask(ref, kAuthorizationFlagInteractionAllowed), errAuthorizationDenied);
  EXPECT_EQ(ask(ref, kAuthorizationFlagExtendRights), errAuthorizationInteractionNotAllowed);
  EXPECT_EQ(ask(ref, kBlessFlags | 0x100), errAuthorizationInvalidFlags);
  EXPECT_EQ(ask(ref), errAuthorizationSuccess);
  // Once held, the right needs no dialog, whatever the agent would now say.
  ::setenv("VRK_AUTHORIZATION", "cancel", 1);
  EXPECT_EQ(ask(ref, 0), errAuthorizationSuccess);
  AuthorizationFree(ref, 0);
}

TEST_F(AuthorizationAgent, BadReferencesAndRightsAreRefused) {
  AuthorizationRef ref = nullptr;
  ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, 0, &ref), errAuthorizationSuccess);
  AuthorizationItem unnamed{nullptr, 0, nullptr, 0};
  AuthorizationRights bad{1, &unnamed};
  EXPECT_EQ(AuthorizationCopyRights(ref, &bad, nullptr, kBlessFlags, nullptr),
            errAuthorizationInvalidSet);
  EXPECT_EQ(AuthorizationCopyRights(ref, nullptr, nullptr, kBlessFlags, nullptr),
            errAuthorizationInvalidPointer);
  ASSERT_EQ(AuthorizationFree(ref, 0), errAuthorizationSuccess);
  EXPECT_EQ(ask(ref), errAuthorizationInvalidRef);
  EXPECT_EQ(AuthorizationFree(ref, 0), errAuthorizationInvalidRef);
  EXPECT_FALSE(AuthorizationHasRight(ref, "com.apple.ServiceManagement.blesshelper"));
}

TEST_F(AuthorizationAgent, AnUnavailableServerFailsEvenTheCreation) {
  ::setenv("VRK_AUTHORIZATION", "unavailable", 1);
  AuthorizationRef ref = nullptr;
  EXPECT_EQ(AuthorizationCreate(nullptr, nullptr, 0, &ref), errAuthorizationInternal);
  EXPECT_EQ(ref, nullptr);
}

}  // namespace
}  // namespace vrk
