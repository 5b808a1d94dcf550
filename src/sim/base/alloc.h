// One place where a failed allocation becomes a value.
//
// A standard container refuses an allocation in two ways: std::bad_alloc
// (the memory is not there) and std::length_error (more elements than it can
// ever hold). Engine code that sizes a container from its input runs the
// allocation through guard_allocation, so that either refusal comes back as
// the caller's own error (usually allocation_failure(what, bytes), which
// names what could not be allocated) instead of unwinding.
#pragma once

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "sim/base/result.h"

namespace vantrel::sim {

// Releases buffers that came from malloc/calloc (those handed over to NumPy,
// which frees them with std::free).
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Runs body() and returns what it returns; when an allocation inside it
// fails, returns on_failure() instead. A body returning nothing gives a
// Status. on_failure is called only on failure, so building its message
// costs nothing on the common path.
template <class Body, class OnFailure>
auto guard_allocation(Body&& body, OnFailure&& on_failure) {
  using R = std::invoke_result_t<Body&>;
  using Out = std::conditional_t<std::is_void_v<R>, Status, R>;
  try {
    if constexpr (std::is_void_v<R>) {
      body();
      return Out{};
    } else {
      return Out(body());
    }
  } catch (const std::bad_alloc&) {
    return Out(on_failure());
  } catch (const std::length_error&) {
    return Out(on_failure());
  }
}

// Whether allocate() completed without an allocation failure; for callers
// that have another way forward when it did not.
template <class Allocate>
bool allocated(Allocate&& allocate) {
  return guard_allocation(
      [&] {
        allocate();
        return true;
      },
      [] { return false; });
}

}  // namespace vantrel::sim
