// SanitizerBuild: which sanitizers this translation unit is built with, for tests whose
// measurements a sanitizer changes (resident memory above all: AddressSanitizer keeps freed
// memory in quarantine, ThreadSanitizer adds shadow memory).
//
// Contract: compile-time constants only; usable from any thread.
#pragma once

namespace vrk {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kBuiltWithAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kBuiltWithAddressSanitizer = true;
#else
inline constexpr bool kBuiltWithAddressSanitizer = false;
#endif
#else
inline constexpr bool kBuiltWithAddressSanitizer = false;
#endif

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kBuiltWithThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kBuiltWithThreadSanitizer = true;
#else
inline constexpr bool kBuiltWithThreadSanitizer = false;
#endif
#else
inline constexpr bool kBuiltWithThreadSanitizer = false;
#endif

}  // namespace vrk
