// The one parallel grain of the kernels and of every pass over a state.
#pragma once

#include <cstddef>

namespace vantrel::sim::kernels {

// Amplitudes per piece of parallel work: passes over fewer stay on the
// calling thread, since a hand-over costs more than they do. Measured: a
// register of 14 qubits (about 12 us for a one-qubit gate) gains nothing
// from two threads, while one of 15 or more does. Loops that count other
// items (pairs, chunks, blocks) divide it by the amplitudes of an item.
inline constexpr std::size_t kGrainAmps = std::size_t{1} << 15;

}  // namespace vantrel::sim::kernels
