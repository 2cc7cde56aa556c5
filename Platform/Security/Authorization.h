// Security's authorization services: AuthorizationCreate, AuthorizationCopyRights and
// AuthorizationFree, with the platform's status codes and flags.
//
// The agent that would show the administrator dialog is emulated by the environment variable
// VRK_AUTHORIZATION, read each time a right has to be granted:
//   allow (or unset)  an administrator authenticates: the right is granted;
//   deny              the credentials are refused: errAuthorizationDenied;
//   cancel            the user closes the dialog: errAuthorizationCanceled;
//   unavailable       the security server cannot be reached: every call, AuthorizationCreate
//                     included, fails with errAuthorizationInternal.
// Any other value is taken as deny, with a log line.
//
// Contract:
// - An AuthorizationRef belongs to the caller of AuthorizationCreate until AuthorizationFree;
//   a reference that was freed, or never made here, is errAuthorizationInvalidRef. References
//   are safe to use from any thread; one reference's rights are guarded by a lock.
// - Flags outside the documented ones are errAuthorizationInvalidFlags. A right is granted
//   only with kAuthorizationFlagExtendRights; asking the agent needs
//   kAuthorizationFlagInteractionAllowed (errAuthorizationInteractionNotAllowed otherwise).
//   The agent is asked whoever the caller is, so that a test running as root sees every answer.
// - Rights with a null or empty name are errAuthorizationInvalidSet; a null rights pointer
//   where rights are required is errAuthorizationInvalidPointer. Output rights are not
//   produced: `authorizedRights` is set to null when given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vrk {

using OSStatus = std::int32_t;
using AuthorizationFlags = std::uint32_t;

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationInvalidSet = -60001;
inline constexpr OSStatus errAuthorizationInvalidRef = -60002;
inline constexpr OSStatus errAuthorizationInvalidTag = -60003;
inline constexpr OSStatus errAuthorizationInvalidPointer = -60004;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationInteractionNotAllowed = -60007;
inline constexpr OSStatus errAuthorizationInternal = -60008;
inline constexpr OSStatus errAuthorizationInvalidFlags = -60011;

inline constexpr AuthorizationFlags kAuthorizationFlagDefaults = 0;
inline constexpr AuthorizationFlags kAuthorizationFlagInteractionAllowed = 1 << 0;
inline constexpr AuthorizationFlags kAuthorizationFlagExtendRights = 1 << 1;
inline constexpr AuthorizationFlags kAuthorizationFlagPartialRights = 1 << 2;
inline constexpr AuthorizationFlags kAuthorizationFlagDestroyRights = 1 << 3;
inline constexpr AuthorizationFlags kAuthorizationFlagPreAuthorize = 1 << 4;

struct AuthorizationItem {
  const char* name;
  std::size_t valueLength;
  void* value;
  std::uint32_t flags;
};

struct AuthorizationItemSet {
  std::uint32_t count;
  AuthorizationItem* items;
};
using AuthorizationRights = AuthorizationItemSet;
using AuthorizationEnvironment = AuthorizationItemSet;

struct AuthorizationOpaqueRef;
using AuthorizationRef = AuthorizationOpaqueRef*;

// Makes a new reference; `rights`, when given with kAuthorizationFlagExtendRights, are
// requested at once as AuthorizationCopyRights would.
OSStatus AuthorizationCreate(const AuthorizationRights* rights,
                             const AuthorizationEnvironment* environment, AuthorizationFlags flags,
                             AuthorizationRef* authorization);

OSStatus AuthorizationCopyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                                 const AuthorizationEnvironment* environment,
                                 AuthorizationFlags flags, AuthorizationRights** authorizedRights);

OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags);

// For the platform's own services (SMJobBless): whether `authorization` is a live reference
// that holds the right `name`.
bool AuthorizationHasRight(AuthorizationRef authorization, std::string_view name);

}  // namespace vrk
