// The two scalar types the engine computes in, and their names.
#pragma once

#include <cstdint>
#include <type_traits>

namespace vantrel::sim {

// What a plan was compiled for: its runs use float (kSingle) or double
// (kDouble) amplitudes, parameters and results.
enum class Precision : std::uint8_t { kSingle = 0, kDouble = 1 };

template <class T>
inline constexpr Precision precision_of =
    std::is_same_v<T, double> ? Precision::kDouble : Precision::kSingle;

// "single" or "double".
inline const char* precision_name(Precision p) {
  return p == Precision::kDouble ? "double" : "single";
}

}  // namespace vantrel::sim
