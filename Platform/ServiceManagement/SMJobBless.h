// ServiceManagement's SMJobBless: installs a privileged helper from the main bundle into the
// emulated root and loads its job.
//
// What is checked, in order (the error code when it fails):
// - the domain is kSMDomainSystemLaunchd (kSMErrorInternalFailure);
// - `auth` holds the right "com.apple.ServiceManagement.blesshelper"
// (kSMErrorAuthorizationFailure);
// - the main bundle's Info.plist lists `label` under SMPrivilegedExecutables
// (kSMErrorToolNotValid);
// - the helper is a regular executable file at Contents/Library/LaunchServices/<label> of the
//   main bundle (kSMErrorToolNotValid), with its property lists beside it:
//   <label>-Info.plist, whose CFBundleIdentifier is the label and whose SMAuthorizedClients
//   names the main bundle's identifier, either bare or as `identifier "ID"` inside a
//   requirement (kSMErrorInvalidSignature), and <label>-Launchd.plist, the job's description
//   with Label equal to the label (kSMErrorInvalidPlist).
// Then it copies the helper to /Library/PrivilegedHelperTools/<label> (mode 0544) and writes the
// job to /Library/LaunchDaemons/<label>.plist (mode 0644), each through a temporary file and a
// rename, so that a reader never sees half a file. The job's Program is the installed helper;
// its EnvironmentVariables gain VRK_BLESSING_UID, the real user id of the blessing process, so
// that the helper knows whom it serves besides root. Loading the job checks it as launchd would
// (kSMErrorInvalidPlist); launchd starts it when its service is first asked for. A running
// instance of an earlier version keeps serving until it exits.
// Copy failures are kSMErrorInternalFailure.
//
// Contract: returns true on success. On failure returns false and, when `error` is given,
// stores a CFError of domain kSMErrorDomainLaunchd with the code above. Blocking; any thread,
// but two blessings of one label at once are not coordinated (the last rename wins).
#pragma once

#include <string_view>

#include "Platform/Foundation/NSError.h"
#include "Platform/Security/Authorization.h"

namespace vrk {

inline constexpr const char* kSMDomainSystemLaunchd = "kSMDomainSystemLaunchd";
inline constexpr const char* kSMDomainUserLaunchd = "kSMDomainUserLaunchd";
inline constexpr const char* kSMErrorDomainLaunchd = "CFErrorDomainLaunchd";
inline constexpr const char* kSMRightBlessPrivilegedHelper =
    "com.apple.ServiceManagement.blesshelper";

inline constexpr int kSMErrorInternalFailure = 2;
inline constexpr int kSMErrorInvalidSignature = 3;
inline constexpr int kSMErrorAuthorizationFailure = 4;
inline constexpr int kSMErrorToolNotValid = 5;
inline constexpr int kSMErrorJobNotFound = 6;
inline constexpr int kSMErrorServiceUnavailable = 7;
inline constexpr int kSMErrorJobPlistNotFound = 8;
inline constexpr int kSMErrorJobMustBeEnabled = 9;
inline constexpr int kSMErrorInvalidPlist = 10;

bool SMJobBless(std::string_view domain, std::string_view label, AuthorizationRef auth,
                CFErrorRef* error);

}  // namespace vrk
