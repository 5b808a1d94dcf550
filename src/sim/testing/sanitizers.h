// Whether the engine tests run under a sanitizer (test code only): their
// allocators abort on impossible sizes instead of failing, so the tests of
// such requests skip themselves there.
#pragma once

namespace vantrel::sim {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace vantrel::sim
