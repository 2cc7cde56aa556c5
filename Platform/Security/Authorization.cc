// The emulated authorization policy: references live in a registry, rights are granted by the
// agent that VRK_AUTHORIZATION stands for.
#include "Platform/Security/Authorization.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "Platform/Foundation/NSLog.h"

struct vrk::AuthorizationOpaqueRef {
  std::set<std::string, std::less<>> rights;
};

namespace vrk {
namespace {

constexpr AuthorizationFlags kKnownFlags =
    kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights |
    kAuthorizationFlagPartialRights | kAuthorizationFlagDestroyRights |
    kAuthorizationFlagPreAuthorize;

// Every live reference, so that a stale or foreign pointer is refused instead of used.
std::mutex g_mutex;
std::set<AuthorizationRef>& LiveRefs() {
  static auto* refs = new std::set<AuthorizationRef>;
  return *refs;
}

enum class Answer { Allow, Deny, Cancel, Unavailable };

Answer AgentAnswer() {
  const char* value = std::getenv("VRK_AUTHORIZATION");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "allow") == 0) return Answer::Allow;
  if (std::strcmp(value, "deny") == 0) return Answer::Deny;
  if (std::strcmp(value, "cancel") == 0) return Answer::Cancel;
  if (std::strcmp(value, "unavailable") == 0) return Answer::Unavailable;
  NSLog("[Security] VRK_AUTHORIZATION=%s is not allow, deny, cancel or unavailable; denying",
        value);
  return Answer::Deny;
}

OSStatus CheckRights(const AuthorizationRights* rights) {
  if (rights == nullptr) return errAuthorizationInvalidPointer;
  if (rights->count > 0 && rights->items == nullptr) return errAuthorizationInvalidSet;
  for (std::uint32_t i = 0; i < rights->count; ++i) {
    const char* name = rights->items[i].name;
    if (name == nullptr || *name == '\0') return errAuthorizationInvalidSet;
  }
  return errAuthorizationSuccess;
}

// Grants the rights to `ref` (its registry lock held by the caller).
OSStatus Grant(AuthorizationRef ref, const AuthorizationRights& rights, AuthorizationFlags flags) {
  bool missing = false;
  for (std::uint32_t i = 0; i < rights.count; ++i) {
    if (!ref->rights.contains(std::string_view(rights.items[i].name))) missing = true;
  }
  if (!missing) return errAuthorizationSuccess;
  if ((flags & kAuthorizationFlagExtendRights) == 0) return errAuthorizationDenied;
  if ((flags & kAuthorizationFlagInteractionAllowed) == 0) {
    return errAuthorizationInteractionNotAllowed;
  }
  switch (AgentAnswer()) {
    case Answer::Allow:
      break;
    case Answer::Deny:
      return errAuthorizationDenied;
    case Answer::Cancel:
      return errAuthorizationCanceled;
    case Answer::Unavailable:
      return errAuthorizationInternal;
  }
  for (std::uint32_t i = 0; i < rights.count; ++i) ref->rights.insert(rights.items[i].name);
  return errAuthorizationSuccess;
}

}  // namespace

OSStatus AuthorizationCreate(const AuthorizationRights* rights, const AuthorizationEnvironment*,
                             AuthorizationFlags flags, AuthorizationRef* authorization) {
  if ((flags & ~kKnownFlags) != 0) return errAuthorizationInvalidFlags;
  if (authorization == nullptr && (flags & kAuthorizationFlagExtendRights) == 0) {
    return errAuthorizationInvalidPointer;
  }
  if (AgentAnswer() == Answer::Unavailable) return errAuthorizationInternal;
  if (rights != nullptr) {
    if (OSStatus status = CheckRights(rights); status != errAuthorizationSuccess) return status;
  }
  auto* ref = new AuthorizationOpaqueRef;
  std::lock_guard lock(g_mutex);
  LiveRefs().insert(ref);
  if (rights != nullptr && rights->count > 0) {
    if (OSStatus status = Grant(ref, *rights, flags); status != errAuthorizationSuccess) {
      LiveRefs().erase(ref);
      delete ref;
      return status;
    }
  }
  if (authorization != nullptr) {
    *authorization = ref;
  } else {
    LiveRefs().erase(ref);
    delete ref;
  }
  return errAuthorizationSuccess;
}

OSStatus AuthorizationCopyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                                 const AuthorizationEnvironment*, AuthorizationFlags flags,
                                 AuthorizationRights** authorizedRights) {
  if (authorizedRights != nullptr) *authorizedRights = nullptr;
  if ((flags & ~kKnownFlags) != 0) return errAuthorizationInvalidFlags;
  if (OSStatus status = CheckRights(rights); status != errAuthorizationSuccess) return status;
  std::lock_guard lock(g_mutex);
  if (authorization == nullptr || !LiveRefs().contains(authorization)) {
    return errAuthorizationInvalidRef;
  }
  return Grant(authorization, *rights, flags);
}

OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags) {
  if ((flags & ~kKnownFlags) != 0) return errAuthorizationInvalidFlags;
  std::lock_guard lock(g_mutex);
  if (authorization == nullptr || LiveRefs().erase(authorization) == 0) {
    return errAuthorizationInvalidRef;
  }
  delete authorization;
  return errAuthorizationSuccess;
}

bool AuthorizationHasRight(AuthorizationRef authorization, std::string_view name) {
  std::lock_guard lock(g_mutex);
  return authorization != nullptr && LiveRefs().contains(authorization) &&
         authorization->rights.contains(name);
}

}  // namespace vrk
