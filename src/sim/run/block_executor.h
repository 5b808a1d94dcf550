// Runs of gates on large registers: several gates per pass over memory, the
// pass shared by a team of threads.
//
// A run is cut into segments of consecutive steps whose qubits lie in a set S
// of at most 2^B amplitudes' worth of qubits (the low qubits are always in
// S). A block is the set of amplitudes sharing the values of the qubits
// outside S; each block gets all of a segment's steps one after another while
// it sits in cache: in place when S is the B lowest qubits, otherwise copied
// into a buffer with S's qubits relabelled in increasing order, worked on and
// copied back. Copying moves amplitudes without touching their bits, and
// every kernel gives the same bits for a group of amplitudes whatever the
// group's position, so each amplitude undergoes exactly the operations of the
// gate-by-gate loop in the same order. Diagonal gates of two or more qubits
// act on each amplitude alone (kernels/diagonal.h) and join a segment
// whatever their qubits; so do Pauli-string rotations without X or Y
// factors, while other rotations need only their X and Y qubits in a block
// (a Z factor outside it only adds 2 to the phase exponent of the whole
// block, kernels/pauli_rotation.h). Measurements and resets run between segments on the
// whole register in its true qubit order.
//
// The run is led by the calling thread, with pool workers joining as helpers
// (a Team: one invitation per run, a fixed share of the blocks per thread,
// the threads meeting between segments). Small registers keep the plain
// gate-by-gate loop.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/base/complex.h"
#include "sim/kernels/pauli_rotation.h"
#include "sim/model/operation.h"
#include "sim/base/result.h"
#include "sim/base/rng.h"
#include "sim/state/state_vector.h"

namespace vantrel::sim {

struct MeasurementRecord {
  std::uint64_t qubit;
  bool outcome;
};

// One step of a run, already checked against the register: a one-qubit
// matrix, a unitary operation (distinct targets in range, 4^k entries, not a
// one-qubit 2x2), a Pauli-string rotation (qubits in range, masks not both
// empty), a measurement or a reset of a qubit in range.
struct RunStep {
  enum class Kind : std::uint8_t { kMat2, kOperation, kPauliRotation, kMeasure, kReset };
  Kind kind = Kind::kMat2;
  std::uint64_t qubit = 0;        // kMat2, kMeasure, kReset
  Complex m[4] = {};              // kMat2
  const Operation* op = nullptr;  // kOperation; must outlive the run
  kernels::RotationMasks masks;   // kPauliRotation, with cos and sin of the half angle
  float c = 0.0f;
  float s = 0.0f;
};

// Whether runs on a register of this width go through execute_run (else the
// caller applies its gates one by one, as it always has).
bool runs_through_executor(std::uint64_t num_qubits);

// Whether two independent runs on registers of this width are better made
// side by side on two threads (each run on its thread alone) than one after
// the other with their blocks shared: true from team_min_qubits to
// pair_max_qubits when the caller can lead a team of two.
bool runs_in_pairs(std::uint64_t num_qubits);

// Checks `gate` against `state` as executing it would (same checks, order and
// messages: apply_operation's for a unitary, the qubit range for a
// measurement or reset) and appends its step; a barrier adds nothing.
Status append_gate_step(const StateVector& state, const Gate& gate, std::vector<RunStep>& steps);

// The same for a unitary operation (apply_operation's checks); the step
// points at `op`, which must outlive the run.
Status append_operation_step(const StateVector& state, const Operation& op,
                             std::vector<RunStep>& steps);

// Applies the steps in order. Measurements and resets draw from `rng` (which
// must be set when there are any) on the calling thread, in step order; with
// `records`, each measurement's outcome is appended to it. Fails only with
// kOutOfMemory (the tables of a very large matrix), after applying the steps
// before the one that needed them, or kInterrupted when the calling thread's
// Interrupt asks between segments (interrupt.h).
// With `alone`, the calling thread runs it without a team whatever the
// register's width.
Status execute_run(StateVector& state, std::span<const RunStep> steps, Rng* rng,
                   std::vector<MeasurementRecord>* records, bool alone = false);

namespace detail {

// The executor's geometry, fixed from the processor's cache sizes when first
// used. Tests and benchmarks may replace it while no run is in progress.
struct ExecutorConfig {
  bool enabled = true;           // false: every run gate by gate
  unsigned min_qubits = 12;      // narrower registers run gate by gate
  unsigned team_min_qubits = 14; // from here on a run is shared with pool workers
  unsigned pair_max_qubits = 20; // up to here independent runs go side by side
  unsigned thread_qubits = 13;   // a team has a third thread and more only for 2^this amplitudes each
  unsigned block_qubits = 16;    // a block holds 2^block_qubits amplitudes
  unsigned low_qubits = 5;       // qubits every block includes (its chunks' length)
  unsigned piece_qubits = 12;    // pieces of a block worked on in the first-level cache
  std::size_t shares_per_thread = 2;  // a segment's blocks in this many shares per thread
};
ExecutorConfig executor_config();
void set_executor_config(const ExecutorConfig& config);

// While set on the calling thread, runs it leads behave as though buffers
// for blocks that are not contiguous could not be allocated: every segment
// then works in place. For tests of that path.
void set_block_buffers_fail(bool fails);

}  // namespace detail

}  // namespace vantrel::sim
