// Whether this build runs under AddressSanitizer, whose own quarantine keeps freed memory
// (and the platform's poisoned blocks are then left to it).
#ifndef KVMON_TESTS_SUPPORT_SANITIZERS_H
#define KVMON_TESTS_SUPPORT_SANITIZERS_H

namespace kvtest {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

}  // namespace kvtest

#endif  // KVMON_TESTS_SUPPORT_SANITIZERS_H
