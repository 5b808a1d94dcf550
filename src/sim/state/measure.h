// Measurement, reset and sampling on a state vector.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "sim/base/result.h"
#include "sim/base/rng.h"
#include "sim/state/state_vector.h"

namespace vantrel::sim {

// Measures qubit q and collapses the state; true means outcome 1. An
// out-of-range qubit, or a NaN or infinite amplitude anywhere in the state
// (kInvalid "probabilities are not finite"), fails before any random draw.
template <class T>
Result<bool> measure_qubit(StateVectorOf<T>& state, std::uint64_t q, Rng& rng);

// Measures qubit q and flips it back to 0 when the outcome is 1.
template <class T>
Status reset_qubit(StateVectorOf<T>& state, std::uint64_t q, Rng& rng);

// Draws `shots` basis-state indices from the state without changing it,
// using the calling thread's generator. A NaN or infinite weight is kInvalid
// "probabilities are not finite", weights that are all zero kInvalid
// "probabilities are all zero"; a released state is an internal failure
// ("NoItem"); a table that cannot be allocated is kOutOfMemory. Checks the thread's Interrupt (interrupt.h) every
// few thousand table entries and draws.
template <class T>
Result<std::vector<std::uint64_t>> measure(const StateVectorOf<T>& state, std::uint64_t shots);
// The same draws from `rng`: one 64-bit word per shot, in order. The table is
// built on the calling thread in index order, so the samples depend only on
// the state and the generator.
template <class T>
Result<std::vector<std::uint64_t>> measure(const StateVectorOf<T>& state, std::uint64_t shots,
                                           Rng& rng);

// The distinct values of `samples` in increasing order, each with the number
// of times it occurs (the counts sum to samples.size()).
std::vector<std::pair<std::uint64_t, std::uint64_t>> tally(std::vector<std::uint64_t> samples);

}  // namespace vantrel::sim
