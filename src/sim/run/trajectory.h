// Trajectories: noise channels simulated on pure states, one Kraus branch
// drawn per channel per run.
//
// A call that runs many trajectories (sampling a noisy circuit, averaging
// expectations over a noisy plan) gives trajectory t its own generator, a
// SeededRng of trajectory_seed(seed, t), and runs the trajectories over the
// pool on a bounded set of states reset in place (nothing is allocated per
// trajectory). The bits of trajectory t depend only on the circuit, the seed
// and t, never on the pool size or on which thread ran it.
#pragma once

#include <type_traits>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/base/pool.h"
#include "sim/base/result.h"
#include "sim/base/rng.h"
#include "sim/model/channel.h"
#include "sim/state/state_vector.h"

namespace vantrel::sim {

// Applies `channel` to `state` by one trajectory step: a mixed-unitary
// channel applies branch i with its probability (one 53-bit uniform draw,
// the branches walked in order); a general one computes every
// p_i = ||K_i psi||^2 (double sums over a fixed division of the state, so
// the same bits on any pool size), draws K_i with probability p_i / sum p,
// applies it and divides every amplitude by sqrt(p_i) in the state's precision.
// Target errors as apply_operation's; kInvalid "probabilities are not
// finite" (or "... all zero") when the state has no weight to draw from.
template <class T>
Status apply_channel(StateVectorOf<T>& state, const Channel& channel, Rng& rng);

// The seed of trajectory t of a call seeded with `seed`: SplitMix64's
// output mixing seed and t (trajectory.cpp), so streams of neighbouring
// trajectories and seeds are unrelated.
std::uint64_t trajectory_seed(std::uint64_t seed, std::uint64_t t);

// A seed for a call given none: drawn from the calling thread's generator.
Result<std::uint64_t> fresh_seed();

// One basis-state index drawn from the state's distribution with one 53-bit
// uniform draw against double cumulative weights (as measure() draws), in
// two passes and without allocating.
template <class T>
Result<std::uint64_t> draw_one(const StateVectorOf<T>& state, Rng& rng);

// Runs body(state, rng, t) for t in [first, first + count), each on a state of
// `num_qubits` set to |0...0> and a SeededRng of trajectory_seed(seed, t).
// The trajectories are spread over the pool, each thread running its share
// on one state of its own (fewer states on wide registers: at most as many
// as fit in a fixed budget, at least one). Returns the error of the lowest
// failing trajectory; kOutOfMemory naming the state when one cannot be
// allocated.
template <class T>
using TrajectoryBodyOf = FunctionRef<Status(StateVectorOf<T>&, Rng&, std::uint64_t)>;
using TrajectoryBody = TrajectoryBodyOf<float>;
template <class T = float>
Status for_each_trajectory(std::uint64_t num_qubits, std::uint64_t first, std::uint64_t count,
                           std::uint64_t seed, std::type_identity_t<TrajectoryBodyOf<T>> body);

// True when a gate of the list is a channel.
bool has_channels(std::span<const Gate> gates);

}  // namespace vantrel::sim
