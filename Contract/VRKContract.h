// The names that the host library, the Finder extension and the sync client agree on: the
// shared settings suite, its keys, the distributed and process-local notification names, the
// userInfo keys, and the numbers carried under "type".
//
// Each deliverable compiles this header into itself; nothing here has state or storage of its
// own. Store keys and notification names are spelled through VRK_CONTRACT_NAME, so the value of
// each such constant is its own name, as both sides and the sync client expect.
#pragma once

#include <cstdint>
#include <string_view>

namespace vrk {

#define VRK_CONTRACT_NAME(name) inline constexpr std::string_view name = #name

// The application group and settings suite that both processes open.
inline constexpr std::string_view kVRKSharedSuiteName = "group.com.mirelta.sync";

// Keys of the shared settings store. Only the library writes them; the extension reads.
VRK_CONTRACT_NAME(kRootFolderPathKey);  // NSString: the sync root as the client passed it
VRK_CONTRACT_NAME(kBadgeCacheKey);      // NSDictionary: item path -> badge type
VRK_CONTRACT_NAME(kHideBadgeKey);       // NSNumber BOOL: YES hides every badge
VRK_CONTRACT_NAME(kLanguageKey);        // NSString: the name of a localization folder
VRK_CONTRACT_NAME(kVRKMenuItemsKey);    // NSArray of menu item dictionaries, in menu order

// Distributed notifications, library -> extension, posted with immediate delivery.
VRK_CONTRACT_NAME(kVRKRootFolderPathChangedNotification);  // object: the new root, or nil
VRK_CONTRACT_NAME(kVRKIconTypeChangedNotification);        // userInfo: "type", "path"
VRK_CONTRACT_NAME(kVRKShowOrHideIconsNotification);        // userInfo: "shouldHide"
VRK_CONTRACT_NAME(kVRKCleanIconsCacheNotification);
VRK_CONTRACT_NAME(kVRKLanguageChangedNotification);  // userInfo: "language"
VRK_CONTRACT_NAME(kVRKCustomContextMenuItemInfoSentNotification);
VRK_CONTRACT_NAME(kVRKDylibWillDieSoonNotification);

// Process-local notifications between the library and the sync client, object nil.
VRK_CONTRACT_NAME(kVRKContextMenuClickNotification);      // "type": VRKContextMenuClickType
VRK_CONTRACT_NAME(kVRKDirectoryObservationNotification);  // "type": VRKDirectoryObservationType

#undef VRK_CONTRACT_NAME

// userInfo keys of the notifications above.
inline constexpr std::string_view kVRKUserInfoTypeKey = "type";
inline constexpr std::string_view kVRKUserInfoPathKey = "path";
inline constexpr std::string_view kVRKUserInfoShouldHideKey = "shouldHide";
inline constexpr std::string_view kVRKUserInfoLanguageKey = "language";
inline constexpr std::string_view kVRKUserInfoMachKey = "mach";  // NSValue holding a pointer
inline constexpr std::string_view kVRKUserInfoMsgKey = "msg";    // the menu description

// The menu description that the sync client sends under "msg"; every value is read as a BOOL.
inline constexpr std::string_view kVRKMenuHideAllKey = "hide_all";
inline constexpr std::string_view kVRKMenuShowShareKey = "show_share";
inline constexpr std::string_view kVRKMenuShowViewWebsiteKey = "show_view_website";
inline constexpr std::string_view kVRKMenuShowLockUnlockKey = "show_lock_unlock";
inline constexpr std::string_view kVRKMenuShowLockKey = "show_lock";
inline constexpr std::string_view kVRKMenuShowUnlockKey = "show_unlock";
inline constexpr std::string_view kVRKMenuIsFileKey = "is_file";
inline constexpr std::string_view kVRKMenuShowHistoryKey = "show_history";

// The dictionary form of a menu item record, as stored under kVRKMenuItemsKey.
inline constexpr std::string_view kVRKMenuItemTitleKey = "title";
inline constexpr std::string_view kVRKMenuItemCommandKey = "command";

// Badge types: the "type" of kVRKIconTypeChangedNotification and the values of kBadgeCacheKey.
// Neither side checks the range, so these are plain integers rather than a closed set.
enum VRKBadgeType : std::int64_t {
  VRKBadgeTypeProcessing = 0,
  VRKBadgeTypePaused = 1,
  VRKBadgeTypeSucceeded = 2,
  VRKBadgeTypeFailed = 3,
  VRKBadgeTypeLocked = 4,
  VRKBadgeTypeForbidden = 5,
};

// "type" of kVRKContextMenuClickNotification (an NSInteger). 3 and 4 are the lock-permission
// question and the client's answer; the others relay a chosen menu item.
enum VRKContextMenuClickType : std::int64_t {
  kVRKClickTypeShareLink = 1,
  kVRKClickTypeViewOnWebsite = 2,
  kVRKClickTypeLockPermissionRequest = 3,
  kVRKClickTypeLockPermissionReply = 4,
  kVRKClickTypeLockFile = 5,
  kVRKClickTypeUnlockFile = 6,
  kVRKClickTypeViewHistoryVersions = 7,
};

// "type" of kVRKDirectoryObservationNotification (a 32-bit int, numberWithInt:).
enum VRKDirectoryObservationType : std::int32_t {
  kVRKObservationTypeBeginObserve = 1,
  kVRKObservationTypeEndObserve = 2,
  kVRKObservationTypeBadgeNotExist = 3,
};

}  // namespace vrk
