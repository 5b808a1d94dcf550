// Noise channels: completely positive, trace-preserving maps on a few qubits,
// simulated by trajectories (run/trajectory.h). A channel is held by a Gate
// of kind kChannel and joins circuits and plans as other gates do.
//
// Two forms, chosen by the constructor:
//   mixed unitary  branch i is the unitary U_i with a fixed probability p_i
//                  (the flips, the depolarizing and Pauli channels); a
//                  trajectory picks a branch without looking at the state;
//   general Kraus  operators K_i with sum K_i^dagger K_i = I (amplitude and
//                  phase damping, any `kraus` channel); a trajectory picks K_i
//                  with probability ||K_i psi||^2 and renormalises.
// Matrices follow the operation convention: the first target is the high bit
// of the matrix index.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "sim/base/complex.h"
#include "sim/base/result.h"
#include "sim/model/operation.h"

namespace vantrel::sim {

enum class ChannelKind : std::uint8_t {
  kBitFlip,               // X with probability p
  kPhaseFlip,             // Z with probability p
  kDepolarizing,          // X, Y, Z each with probability p/3
  kTwoQubitDepolarizing,  // each of the 15 non-identity Pauli pairs with p/15
  kPauli,                 // X, Y, Z with px, py, pz
  kAmplitudeDamping,      // K0 = diag(1, sqrt(1-gamma)), K1 = sqrt(gamma) |0><1|
  kPhaseDamping,          // K0 = diag(1, sqrt(1-lam)), K1 = diag(0, sqrt(lam))
  kKraus,                 // the operators given
};

// The most qubits a Kraus channel acts on.
inline constexpr std::size_t kMaxChannelQubits = 8;

struct Channel {
  ChannelKind kind = ChannelKind::kKraus;
  std::vector<std::uint64_t> targets;
  // The constructor's probabilities as given (none for kKraus): for display,
  // encoding and rebuilding.
  std::vector<double> parameters;
  // Mixed unitary: branch i applies the Pauli string pauli_branch(number of
  // targets, i) on the targets (branch 0 the identity: nothing applied) with
  // probability probabilities[i]; the probabilities sum to 1, and operators
  // is empty, so a channel holds no matrix of its own. General Kraus:
  // probabilities is empty and operators holds the K_i (their matrices need
  // not be unitary). Every operator carries both matrices: the double one as
  // given or formed in double, the single one its entries rounded.
  std::vector<double> probabilities;
  std::vector<Operation> operators;

  bool mixed_unitary() const { return !probabilities.empty(); }
};

// The channel's gate, or kInvalid: probabilities not finite or outside
// [0, 1] ("probability p must be in [0, 1], got {p}"), px + py + pz > 1,
// target errors as for Operation::create.
Result<Gate> make_channel(ChannelKind kind, std::vector<std::uint64_t> targets,
                          std::span<const double> parameters);

// A general channel from its Kraus operators on `targets` (k qubits, at most
// kMaxChannelQubits), each of 4^k entries, row-major, in double. Refused
// unless trace preserving: max |(sum K_i^dagger K_i - I)_rs| <= 1e-5 * 2^k,
// the message giving that deviation.
Result<Gate> make_kraus_channel(std::vector<std::uint64_t> targets,
                                std::vector<std::vector<ComplexD>> operators);

// The display name of a kind: "BitFlip", "Depolarizing", "Kraus", ...
const char* channel_name(ChannelKind kind);

// The matrices of branch i of a mixed-unitary channel on 1 or 2 targets (no
// targets of its own): the Pauli matrix i (I, X, Y, Z) on one target, P_(i/4)
// (x) P_(i%4) on two. Tables shared by every channel.
const Operation& pauli_branch(std::size_t num_targets, std::size_t i);

}  // namespace vantrel::sim
