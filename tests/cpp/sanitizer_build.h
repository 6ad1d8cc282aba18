// Which sanitizer, if any, this test program is built with (see scripts/test_sanitizers.sh).
//
// A test that caps the address space (setrlimit RLIMIT_AS) must skip itself in a sanitized
// build with VINTREL_SKIP_IF_SANITIZED(): ASan and TSan reserve terabytes of shadow address
// space at start-up, so under a cap allocations fail for reasons unrelated to the code under
// test (and ASan treats a failed allocation as fatal).
#pragma once

#include <gtest/gtest.h>

namespace vintrel_test {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif
#else
inline constexpr bool kThreadSanitizer = false;
#endif

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

// The project's sanitizer options also define VINTREL_SANITIZED (UBSan alone has no
// feature macro).
#if defined(VINTREL_SANITIZED)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = kThreadSanitizer || kAddressSanitizer;
#endif

}  // namespace vintrel_test

#define VINTREL_SKIP_IF_SANITIZED()                                                   \
  do {                                                                                \
    if (::vintrel_test::kSanitized) GTEST_SKIP() << "address-space cap under a sanitizer"; \
  } while (false)
