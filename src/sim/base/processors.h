// How many processors the process may use, and the pool's default size.
#pragma once

#include <cstddef>

namespace vantrel::sim {

// Processors available to the process: the affinity mask, capped by the
// cgroup CPU quota (rounded up); 1 if unknown.
std::size_t available_processors();

// The pool's size when the program does not choose one: RAYON_NUM_THREADS
// (a decimal with an optional '+'; 0 means the processors available), else a
// positive RAYON_RS_NUM_CPUS, else available_processors(). Values that are
// not such decimals (or overflow) are ignored. Not clamped: the pool clamps.
std::size_t default_pool_size();

}  // namespace vantrel::sim
