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
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "sim/base/complex.h"
#include "sim/base/pool.h"
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
// In scalar type T: the 2x2 matrix and the rotation's cosine and sine are
// T's, and an operation applies its matrix of that precision.
template <class T>
struct RunStepOf {
  enum class Kind : std::uint8_t { kMat2, kOperation, kPauliRotation, kMeasure, kReset };
  Kind kind = Kind::kMat2;
  std::uint64_t qubit = 0;        // kMat2, kMeasure, kReset
  ComplexOf<T> m[4] = {};         // kMat2
  const Operation* op = nullptr;  // kOperation; must outlive the run
  kernels::RotationMasks masks;   // kPauliRotation, with cos and sin of the half angle
  T c = T(0);
  T s = T(0);
};
using RunStep = RunStepOf<float>;

// Whether runs on a register of this width go through execute_run (else the
// caller applies its gates one by one, as it always has).
bool runs_through_executor(std::uint64_t num_qubits);

// Where the work of a call on a register goes, decided in one place for
// every route from the register's width, the pool and the processor's cache
// sizes (the executor's block, fixed from them: ExecutorConfig):
//  * kAlone: the calling thread does every pass, runs and parallel loops
//    alike (the caller holds a SoloScope, pool.h). A register that is one
//    block stays in one core's caches, where sharing a pass would only move
//    it between caches; so does a register too narrow for a hand-over to
//    pay, and every register when the pool has a single thread.
//  * kPaired: the call's two independent runs go side by side, each on its
//    own thread alone (a Team of two, one share per run).
//  * kShared: each run is shared by a team the executor forms when it is
//    led from outside the pool; parallel loops spread over the pool.
// Results are the same bits under every placement.
enum class Placement : std::uint8_t { kAlone, kPaired, kShared };

// How a call's runs may pair up.
enum class RunPairs : std::uint8_t {
  kNone,   // one run at a time
  kLong,   // pairs of whole runs of a plan, each needing a state of its own
           // (the two shifted runs of a gradient step)
  kShort,  // pairs of a few gates between two meetings, on two states the
           // call already holds (the adjoint sweep's undos)
};

// The rule: with `pairs` other than kLong, a register of at most the
// executor's block is kAlone; below team_min_qubits, or when the pool has a
// single thread, kAlone; inside the pool or a team's share, kShared (runs
// then stay on their thread, loops may still nest); pairs of long runs are
// kPaired up to pair_max_qubits, pairs of short runs there and on any width
// when the pool has at most three threads (a larger team would leave
// threads idle); kShared otherwise. Pairs need the executor: without it
// nothing is kPaired.
Placement placement(std::uint64_t num_qubits, RunPairs pairs = RunPairs::kNone);

// How a call placed kAlone stays on its thread: a SoloScope while alive
// when `where` is kAlone, nothing otherwise.
class PlacementScope {
 public:
  explicit PlacementScope(Placement where) {
    if (where == Placement::kAlone) solo_.emplace();
  }

 private:
  std::optional<SoloScope> solo_;
};

// Checks `gate` against `state` as executing it would (same checks, order and
// messages: apply_operation's for a unitary, the qubit range for a
// measurement or reset) and appends its step; a barrier adds nothing.
template <class T>
Status append_gate_step(const StateVectorOf<T>& state, const Gate& gate,
                        std::vector<RunStepOf<T>>& steps);

// The same for a unitary operation (apply_operation's checks); the step
// points at `op`, which must outlive the run.
template <class T>
Status append_operation_step(const StateVectorOf<T>& state, const Operation& op,
                             std::vector<RunStepOf<T>>& steps);

// Applies the steps in order. Measurements and resets draw from `rng` (which
// must be set when there are any) on the calling thread, in step order; with
// `records`, each measurement's outcome is appended to it. Fails only with
// kOutOfMemory (the tables of a very large matrix), after applying the steps
// before the one that needed them, or kInterrupted when the calling thread's
// Interrupt asks between segments (interrupt.h).
// The run is shared by a team when placement() says kShared and the calling
// thread is outside the pool.
template <class T>
Status execute_run(StateVectorOf<T>& state, std::span<const std::type_identity_t<RunStepOf<T>>> steps, Rng* rng,
                   std::vector<MeasurementRecord>* records);

namespace detail {

// The executor's geometry, fixed from the processor's cache sizes when first
// used. Tests and benchmarks may replace it while no run is in progress.
struct ExecutorConfig {
  bool enabled = true;           // false: every run gate by gate
  unsigned min_qubits = 12;      // narrower registers run gate by gate
  unsigned team_min_qubits = 14; // narrower registers stay on the calling thread
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
