#include "sim/run/block_executor.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "sim/base/messages.h"
#include "sim/base/interrupt.h"
#include "sim/kernels/block.h"
#include "sim/kernels/diagonal.h"
#include "sim/kernels/mat2.h"
#include "sim/kernels/matrix.h"
#include "sim/state/measure.h"
#include "sim/base/pool.h"
#include "sim/base/team.h"

namespace vantrel::sim {

namespace detail {
namespace {

// Half of the per-core second-level cache holds a block (the other half
// serves the state's lines passing through and the kernels' tables).
unsigned cache_block_qubits() {
  long bytes = sysconf(_SC_LEVEL2_CACHE_SIZE);
  if (bytes <= 0) bytes = 256 * 1024;
  const auto amplitudes = static_cast<std::size_t>(bytes) / 2 / sizeof(Complex);
  const unsigned b = static_cast<unsigned>(std::bit_width(amplitudes)) - 1;
  return std::clamp(b, 12u, 20u);
}

// Two thirds of the first-level data cache hold a piece of a block.
unsigned cache_piece_qubits() {
  long bytes = sysconf(_SC_LEVEL1_DCACHE_SIZE);
  if (bytes <= 0) bytes = 32 * 1024;
  const auto amplitudes = static_cast<std::size_t>(bytes) * 2 / 3 / sizeof(Complex);
  const unsigned b = static_cast<unsigned>(std::bit_width(amplitudes)) - 1;
  return std::clamp(b, 8u, 14u);
}

ExecutorConfig& config_storage() {
  static ExecutorConfig config = [] {
    ExecutorConfig c;
    c.block_qubits = cache_block_qubits();
    c.piece_qubits = cache_piece_qubits();
    return c;
  }();
  return config;
}

}  // namespace

ExecutorConfig executor_config() { return config_storage(); }
void set_executor_config(const ExecutorConfig& config) { config_storage() = config; }

}  // namespace detail

namespace {

// Operations whose matrix has more targets run on the whole register (their
// tables are too large to be worth preparing for blocks).
constexpr std::size_t kMaxBlockedTargets = 6;

// A step as applied to a block, its qubits relabelled to positions in the
// block. The controls of a controlled operation that lie outside the block
// are constant over it: where one is 0 the block only gets a + 0; where
// all are 1 it gets the operation with its other controls.
template <class T>
struct BlockOp {
  enum class Kind : std::uint8_t { kMat2, kControlled, kControlledX, kMatrix, kDiagonal, kPauliRotation };
  Kind kind = Kind::kMat2;
  kernels::Mat2BlockOf<T> mat2;             // kMat2
  kernels::ControlledMat2Of<T> controlled;  // kControlled, kControlledX
  std::size_t plan = 0;                // kMatrix: index into Segment::plans
  std::size_t fixed = 0;               // kMatrix: its controls inside the block
  std::size_t outer_controls = 0;      // kControlled, kControlledX, kMatrix
  std::size_t local = 0;               // the positions in the block it reads or writes
  // kPauliRotation: the masks in block positions, the string's Z qubits
  // outside the block, and the cos and sin of the half angle.
  kernels::RotationMasks rotation;
  std::size_t outer_z = 0;
  T c = T(0), s = T(0);
  // kDiagonal: the operation's diagonal (offset into Segment::diagonals, in
  // row order); its targets inside the block (positions, row bits) and
  // outside (qubits, row bits), the latter fixed by each block's base.
  std::size_t diagonal = 0;
  bool signs = false;  // every factor 1 or -1: joins the flips of its neighbours
  unsigned in_count = 0;
  unsigned out_count = 0;
  unsigned in_pos[kernels::kMaxDiagonalTargets] = {};
  unsigned in_row[kernels::kMaxDiagonalTargets] = {};
  unsigned out_qubit[kernels::kMaxDiagonalTargets] = {};
  unsigned out_row[kernels::kMaxDiagonalTargets] = {};
};

template <class T>
struct Segment {
  std::size_t mask = 0;     // qubits inside a block
  unsigned bits = 0;        // their number
  unsigned piece_bits = 0;  // pieces of a block that stay in the first-level cache
  unsigned chunk_bits = 0;  // a block is contiguous runs of 2^chunk_bits amplitudes
  bool in_place = false;    // mask is the lowest `bits` qubits
  std::vector<BlockOp<T>> ops;
  std::vector<ComplexOf<T>> diagonals;
  std::vector<std::unique_ptr<kernels::MatrixPlanOf<T>>> plans;
  std::size_t plans_used = 0;
};

struct Geometry {
  unsigned n = 0;
  unsigned block = 0;  // qubits of a block
  unsigned low = 0;    // qubits every block includes
  unsigned piece = 0;  // qubits of a piece of a block
  bool gather = false; // blocks other than in-place ones have buffers
};

// Set by a test seam: block buffers cannot be had.
thread_local bool tl_buffers_fail = false;

// Buffers of the blocks that are not contiguous, one per participant of a
// team, kept by the thread that leads runs (a helper uses the buffer of its
// rank, so the buffer stays in that thread's cache). Grown on demand, never
// shrunk.
// Shared by runs of both precisions: sized in bytes.
struct BlockBuffers {
  struct Free {
    void operator()(std::byte* p) const { std::free(p); }
  };
  std::unique_ptr<std::byte, Free> buffers[Team::kMaxSize];
  std::size_t capacity[Team::kMaxSize] = {};

  // Buffers of 2^bits amplitudes of `amplitude_bytes` each.
  bool ensure(std::size_t shares, unsigned bits, std::size_t amplitude_bytes);
};

bool BlockBuffers::ensure(std::size_t shares, unsigned bits, std::size_t amplitude_bytes) {
  if (tl_buffers_fail) return false;
  // aligned_alloc wants a whole number of alignments.
  const std::size_t bytes = std::max<std::size_t>(64, amplitude_bytes << bits);
  for (std::size_t s = 0; s < shares; ++s) {
    if (capacity[s] >= bytes) continue;
    buffers[s].reset();
    capacity[s] = 0;
    void* p = std::aligned_alloc(64, bytes);
    if (!p) return false;
    buffers[s].reset(static_cast<std::byte*>(p));
    capacity[s] = bytes;
  }
  return true;
}

thread_local BlockBuffers tl_buffers;

template <class T>
bool is_random(const RunStepOf<T>& s) {
  return s.kind == RunStepOf<T>::Kind::kMeasure || s.kind == RunStepOf<T>::Kind::kReset;
}

std::size_t mask_of(std::span<const std::uint64_t> qubits) {
  std::size_t mask = 0;
  for (std::uint64_t q : qubits) mask |= std::size_t{1} << q;
  return mask;
}

// The qubits a block must hold for the step: those of its matrix (a
// controlled operation's controls may lie outside), a rotation's X and Y
// qubits.
template <class T>
std::size_t needed_qubits(const RunStepOf<T>& s) {
  if (s.kind == RunStepOf<T>::Kind::kPauliRotation) return s.masks.x;
  if (s.kind != RunStepOf<T>::Kind::kOperation) return std::size_t{1} << s.qubit;
  return mask_of(s.op->matrix_targets());
}

// One factor per amplitude: a diagonal operation of two or more qubits,
// controls included (a controlled operation adds 0 to its results, and its
// amplitudes where a control is 0 take the factor 1, a + 0).
template <class T>
bool acts_per_amplitude(const RunStepOf<T>& s) {
  if (s.kind != RunStepOf<T>::Kind::kOperation) return false;
  const std::size_t k = s.op->matrix_targets().size();
  return s.op->targets.size() >= 2 && s.op->targets.size() <= kernels::kMaxDiagonalTargets &&
         kernels::is_diagonal(s.op->template matrix_of<T>(), std::size_t{1} << k);
}

// Chooses the steps of the segment starting at `first` (none when that step
// must run on the whole register) and returns the end of the segment; sets
// the segment's block mask.
template <class T>
std::size_t choose_segment(std::span<const RunStepOf<T>> steps, std::size_t first, const Geometry& g,
                           Segment<T>& seg) {
  const std::size_t low_mask = (std::size_t{1} << g.low) - 1;
  const std::size_t slots = g.block - g.low;
  std::size_t high = 0;  // qubits at or above `low` the segment needs in its blocks
  std::size_t end = first;
  for (; end < steps.size(); ++end) {
    const RunStepOf<T>& s = steps[end];
    if (is_random(s)) break;
    if (acts_per_amplitude(s)) continue;
    if (s.kind == RunStepOf<T>::Kind::kOperation && s.op->matrix_targets().size() > kMaxBlockedTargets) break;
    const std::size_t need = high | (needed_qubits(s) & ~low_mask);
    if (static_cast<std::size_t>(std::popcount(need)) > slots) break;
    if (!g.gather && (need >> g.block) != 0) break;
    high = need;
  }
  if ((high >> g.block) == 0) {
    seg.mask = (std::size_t{1} << g.block) - 1;
  } else {
    // The needed qubits, then the lowest others: long contiguous chunks.
    seg.mask = low_mask | high;
    for (unsigned q = g.low; std::popcount(seg.mask) < static_cast<int>(g.block); ++q)
      seg.mask |= std::size_t{1} << q;
  }
  seg.bits = g.block;
  seg.piece_bits = g.piece;
  seg.in_place = seg.mask == (std::size_t{1} << g.block) - 1;
  seg.chunk_bits = static_cast<unsigned>(std::countr_one(seg.mask));
  return end;
}

// Position of qubit q in the segment's blocks (q in the mask).
template <class T>
unsigned block_position(const Segment<T>& seg, std::uint64_t q) {
  return static_cast<unsigned>(std::popcount(seg.mask & ((std::size_t{1} << q) - 1)));
}

// The preparation of one step for the segment's blocks, one function per
// step kind; each appends its BlockOp to seg.ops.

template <class T>
void prepare_mat2(const RunStepOf<T>& s, Segment<T>& seg) {
  BlockOp<T> op;
  op.kind = BlockOp<T>::Kind::kMat2;
  op.mat2 = kernels::prepare_mat2_block(block_position(seg, s.qubit), s.m);
  op.local = std::size_t{1} << op.mat2.q;
  seg.ops.push_back(op);
}

template <class T>
void prepare_pauli_rotation(const RunStepOf<T>& s, Segment<T>& seg) {
  BlockOp<T> op;
  op.kind = BlockOp<T>::Kind::kPauliRotation;
  op.c = s.c;
  op.s = s.s;
  op.rotation.ny = s.masks.ny;
  for (unsigned q = 0; q < 64; ++q) {
    const std::size_t bit = std::size_t{1} << q;
    if (!((s.masks.x | s.masks.z) & bit)) continue;
    if (!(seg.mask & bit)) {
      op.outer_z |= bit;  // a Z factor: the X and Y qubits are in the block
      continue;
    }
    const std::size_t at = std::size_t{1} << block_position(seg, q);
    if (s.masks.x & bit) op.rotation.x |= at;
    if (s.masks.z & bit) op.rotation.z |= at;
    op.local |= at;
  }
  seg.ops.push_back(op);
}

// An operation that acts per amplitude (acts_per_amplitude).
template <class T>
void prepare_diagonal(const Operation& o, Segment<T>& seg) {
  // The full diagonal over controls ++ targets, row bit k - 1 - t for
  // qubit t: the matrix's diagonal where every control is 1, else 1.
  BlockOp<T> op;
  const std::vector<std::uint64_t>& qubits = o.targets;
  const std::size_t k = qubits.size(), d = std::size_t{1} << k;
  const std::size_t small = o.matrix_targets().size(), sd = std::size_t{1} << small;
  const std::size_t on = (d - 1) & ~(sd - 1);  // row bits of the controls
  op.kind = BlockOp<T>::Kind::kDiagonal;
  op.diagonal = seg.diagonals.size();
  for (std::size_t r = 0; r < d; ++r) {
    const std::size_t local = r & (sd - 1);
    seg.diagonals.push_back((r & on) == on ? o.matrix_of<T>()[local * sd + local] : ComplexOf<T>{T(1), T(0)});
  }
  op.signs = kernels::are_signs(std::span(seg.diagonals).subspan(op.diagonal));
  for (std::size_t t = 0; t < k; ++t) {
    const auto row = static_cast<unsigned>(k - 1 - t);
    if ((seg.mask >> qubits[t]) & 1) {
      const unsigned at = block_position(seg, qubits[t]);
      op.local |= std::size_t{1} << at;
      op.in_pos[op.in_count] = at;
      op.in_row[op.in_count++] = row;
    } else {
      op.out_qubit[op.out_count] = static_cast<unsigned>(qubits[t]);
      op.out_row[op.out_count++] = row;
    }
  }
  seg.ops.push_back(op);
}

// Any other operation: a controlled one-qubit matrix (a controlled X on its
// own), else a matrix with tables. A matrix whose tables cannot be
// allocated appends nothing and returns the failure.
template <class T>
Status prepare_matrix(const Operation& o, Segment<T>& seg) {
  BlockOp<T> op;
  // Controls inside the block become local ones; the others decide per
  // block. A plain matrix has every qubit inside.
  std::size_t inner_controls = 0;
  for (std::uint64_t c : o.controls()) {
    if ((seg.mask >> c) & 1) {
      inner_controls |= std::size_t{1} << block_position(seg, c);
    } else {
      op.outer_controls |= std::size_t{1} << c;
    }
  }
  const std::span<const std::uint64_t> targets = o.matrix_targets();
  const std::size_t k = targets.size();
  std::uint64_t local[kMaxBlockedTargets];
  op.local = inner_controls;
  for (std::size_t t = 0; t < k; ++t) {
    local[t] = block_position(seg, targets[t]);
    op.local |= std::size_t{1} << local[t];
  }
  const std::span<const std::uint64_t> lt(local, k);
  const bool controlled = o.num_controls > 0;
  if (controlled && k == 1) {
    kernels::make_controlled_mat2(inner_controls, static_cast<unsigned>(local[0]), o.matrix_of<T>().data(),
                                  &op.controlled);
  }
  if ((controlled && k == 1) || (!controlled && kernels::match_controlled_mat2(lt, o.matrix_of<T>(), &op.controlled))) {
    op.kind = kernels::is_controlled_x(op.controlled) ? BlockOp<T>::Kind::kControlledX
                                                       : BlockOp<T>::Kind::kControlled;
    seg.ops.push_back(op);
    return Status::Ok();
  }
  if (seg.plans_used == seg.plans.size()) seg.plans.push_back(std::make_unique<kernels::MatrixPlanOf<T>>());
  else seg.plans[seg.plans_used] = std::make_unique<kernels::MatrixPlanOf<T>>();
  kernels::MatrixPlanOf<T>& plan = *seg.plans[seg.plans_used];
  Status prepared;
  if (inner_controls == 0) {
    prepared = plan.prepare(lt, o.matrix_of<T>());
  } else {
    // As the controlled kernel prepares its plan (controls folded into the
    // matrix where the direct kernels need them).
    std::uint64_t inner[64];
    std::size_t count = 0;
    for (std::uint64_t c : o.controls())
      if ((seg.mask >> c) & 1) inner[count++] = block_position(seg, c);
    kernels::ControlledSplitOf<T> split;
    op.fixed = inner_controls;
    if (kernels::fold_controls(std::span(inner, count), lt, o.matrix_of<T>(), &split)) {
      op.fixed = split.fixed;
      prepared = plan.prepare(std::span(split.qubits, split.count), std::span(split.matrix, split.entries()),
                              kernels::active_kernels_of<T>(), op.fixed);
    } else {
      prepared = plan.prepare(lt, o.matrix_of<T>(), kernels::active_kernels_of<T>(), op.fixed);
    }
  }
  VANTREL_TRY(std::move(prepared));
  op.kind = BlockOp<T>::Kind::kMatrix;
  op.plan = seg.plans_used++;
  seg.ops.push_back(op);
  return Status::Ok();
}

// Relabels steps [first, end) to the segment's blocks. A matrix whose tables
// cannot be allocated ends the segment before it: `failure` then holds the
// error and the returned end is that step.
template <class T>
std::size_t prepare_segment(std::span<const RunStepOf<T>> steps, std::size_t first, std::size_t end,
                            Segment<T>& seg, Status& failure) {
  seg.ops.clear();
  seg.diagonals.clear();
  seg.plans_used = 0;
  for (std::size_t j = first; j < end; ++j) {
    const RunStepOf<T>& s = steps[j];
    switch (s.kind) {
      case RunStepOf<T>::Kind::kMat2:
        prepare_mat2(s, seg);
        break;
      case RunStepOf<T>::Kind::kPauliRotation:
        prepare_pauli_rotation(s, seg);
        break;
      case RunStepOf<T>::Kind::kOperation:
        if (acts_per_amplitude(s)) {
          prepare_diagonal(*s.op, seg);
          break;
        }
        failure = prepare_matrix(*s.op, seg);
        if (!failure.ok()) return j;
        break;
      case RunStepOf<T>::Kind::kMeasure:
      case RunStepOf<T>::Kind::kReset:
        break;  // never in a segment (choose_segment)
    }
  }
  return end;
}

// The row of a diagonal operation's factor for local row lr of a block
// whose qubits outside it give `fixed`.
template <class T>
inline std::size_t diagonal_row(const BlockOp<T>& op, std::size_t fixed, std::size_t lr) {
  std::size_t r = fixed;
  for (unsigned i = 0; i < op.in_count; ++i) r |= ((lr >> i) & 1) << op.in_row[i];
  return r;
}

template <class T>
inline std::size_t outer_row(const BlockOp<T>& op, std::size_t base) {
  std::size_t fixed = 0;
  for (unsigned i = 0; i < op.out_count; ++i) fixed |= ((base >> op.out_qubit[i]) & 1) << op.out_row[i];
  return fixed;
}

// Diagonal operations [first, last) whose factors are all 1 or -1, as one
// run of flips.
template <class T>
void apply_sign_ops(ComplexOf<T>* a, unsigned bits, std::size_t base, const Segment<T>& seg, std::size_t first,
                    std::size_t last) {
  constexpr std::size_t kRun = 32;
  kernels::SignDiagonal run[kRun];
  for (std::size_t i = first; i < last;) {
    const std::size_t n = std::min(kRun, last - i);
    for (std::size_t k = 0; k < n; ++k) {
      const BlockOp<T>& op = seg.ops[i + k];
      kernels::SignDiagonal& s = run[k];
      s = kernels::SignDiagonal{};
      s.count = op.in_count;
      std::copy(op.in_pos, op.in_pos + op.in_count, s.positions);
      const std::size_t fixed = outer_row(op, base);
      const ComplexOf<T>* diagonal = seg.diagonals.data() + op.diagonal;
      for (std::size_t lr = 0; lr < (std::size_t{1} << op.in_count); ++lr)
        if (diagonal[diagonal_row(op, fixed, lr)].re < T(0)) s.flips[lr >> 6] |= std::uint64_t{1} << (lr & 63);
    }
    kernels::apply_sign_run(a, bits, run, n);
    i += n;
  }
}

// Steps [first, last) of the segment on the 2^bits amplitudes at `a`: a
// block whose base index is `base`, or a piece of that block that holds
// every position the steps touch (`base` still the block's: only its bits
// outside the block are read).
template <class T>
void apply_ops(ComplexOf<T>* a, unsigned bits, std::size_t base, const Segment<T>& seg, std::size_t first,
               std::size_t last, ComplexOf<T>* scratch) {
  const std::size_t size = std::size_t{1} << bits;
  for (std::size_t i = first; i < last; ++i) {
    const BlockOp<T>& op = seg.ops[i];
    if (op.kind == BlockOp<T>::Kind::kDiagonal && op.signs) {
      std::size_t end = i + 1;
      while (end < last && seg.ops[end].kind == BlockOp<T>::Kind::kDiagonal && seg.ops[end].signs) ++end;
      apply_sign_ops(a, bits, base, seg, i, end);
      i = end - 1;
      continue;
    }
    if ((base & op.outer_controls) != op.outer_controls) {
      kernels::plus_zero(a, size);  // a control outside the block is 0
      continue;
    }
    switch (op.kind) {
      case BlockOp<T>::Kind::kMat2:
        kernels::block_mat2(a, bits, op.mat2);
        break;
      case BlockOp<T>::Kind::kControlled:
        kernels::controlled_mat2_pairs(a, op.controlled, 0, size / 2, kernels::active_kernels_of<T>());
        break;
      case BlockOp<T>::Kind::kControlledX:
        kernels::block_controlled_x(a, bits, op.controlled);
        break;
      case BlockOp<T>::Kind::kMatrix: {
        const kernels::MatrixPlanOf<T>& plan = *seg.plans[op.plan];
        // As the controlled kernel: a + 0 where an inner control is 0, then
        // the sums of the groups where all are 1.
        if (op.fixed != 0) kernels::plus_zero_unless(a, op.fixed, 0, size);
        plan.apply_groups(a, 0, plan.groups(size), scratch);
        break;
      }
      case BlockOp<T>::Kind::kPauliRotation: {
        // Each Z factor outside the block that is 1 adds 2 to the exponent
        // of every amplitude's phase.
        kernels::RotationMasks m = op.rotation;
        m.ny += 2 * static_cast<unsigned>(__builtin_parityll(base & op.outer_z));
        kernels::apply_pauli_rotation<SequentialExecutor, T>(std::span<ComplexOf<T>>(a, size), m, op.c, op.s);
        break;
      }
      case BlockOp<T>::Kind::kDiagonal: {
        const std::size_t fixed = outer_row(op, base);
        ComplexOf<T> factors[std::size_t{1} << kernels::kMaxDiagonalTargets];
        const ComplexOf<T>* diagonal = seg.diagonals.data() + op.diagonal;
        for (std::size_t lr = 0; lr < (std::size_t{1} << op.in_count); ++lr)
          factors[lr] = diagonal[diagonal_row(op, fixed, lr)];
        kernels::apply_diagonal(a, bits, op.in_pos, op.in_count, factors);
        break;
      }
    }
  }
}

// A block's steps. Consecutive steps that touch only positions below the
// piece size go piece by piece (each piece gets them all while in the
// first-level cache), the others over the whole block; either way every
// amplitude gets the steps in their order.
template <class T>
void apply_block_ops(ComplexOf<T>* a, std::size_t base, const Segment<T>& seg, ComplexOf<T>* scratch) {
  const std::size_t n = seg.ops.size();
  const std::size_t piece = std::size_t{1} << seg.piece_bits;
  auto fits = [&](std::size_t i) { return seg.piece_bits < seg.bits && seg.ops[i].local < piece; };
  for (std::size_t i = 0; i < n;) {
    std::size_t end = i;
    while (end < n && fits(end)) ++end;
    if (end - i >= 2) {
      for (std::size_t off = 0; off < (std::size_t{1} << seg.bits); off += piece)
        apply_ops(a + off, seg.piece_bits, base, seg, i, end, scratch);
      i = end;
      continue;
    }
    end = std::max(end, i + 1);
    while (end < n && !fits(end)) ++end;
    apply_ops(a, seg.bits, base, seg, i, end, scratch);
    i = end;
  }
}

// Copies a block between the register and a buffer: chunks of 2^chunk_bits
// amplitudes at the offsets spanned by the block's upper qubits, in
// increasing order.
template <bool kIn, class T>
void move_block(ComplexOf<T>* data, std::size_t base, ComplexOf<T>* buf, const Segment<T>& seg) {
  const std::size_t len = std::size_t{1} << seg.chunk_bits;
  const std::size_t upper = seg.mask & ~(len - 1);
  std::size_t off = 0;
  ComplexOf<T>* b = buf;
  do {
    ComplexOf<T>* at = data + base + off;
    if constexpr (kIn) {
      std::memcpy(static_cast<void*>(b), at, len * sizeof(ComplexOf<T>));
    } else {
      std::memcpy(static_cast<void*>(at), b, len * sizeof(ComplexOf<T>));
    }
    b += len;
    off = ((off | ~upper) + 1) & upper;
  } while (off != 0);
}

// Shares of a segment's blocks: a few per thread, so that a thread slowed
// down by other work leaves some of its own to the others.
std::size_t shares_for(const Team& team) {
  return team.size() == 1 ? 1 : std::min(Team::kMaxSize, team.size() * detail::config_storage().shares_per_thread);
}

template <class T>
void run_segment(const Segment<T>& seg, StateVectorOf<T>& state, Team& team, BlockBuffers& buffers) {
  const unsigned n = static_cast<unsigned>(state.num_qubits());
  const std::size_t blocks = std::size_t{1} << (n - seg.bits);
  const std::size_t shares = std::min(shares_for(team), blocks);
  ComplexOf<T>* data = state.data();
  team.run(shares, [&](std::size_t s) {
    const std::size_t per = blocks / shares, extra = blocks % shares;
    const std::size_t lo = s * per + std::min(s, extra);
    const std::size_t hi = lo + per + (s < extra ? 1 : 0);
    ComplexOf<T>* buf = seg.in_place ? nullptr
                                      : reinterpret_cast<ComplexOf<T>*>(buffers.buffers[Team::participant()].get());
    // Uninitialised on purpose: the matrix kernel gathers what it reads.
    alignas(16) std::byte scratch[kernels::kStackGroup * sizeof(ComplexOf<T>)];
    std::size_t base = kernels::deposit(lo, seg.mask);
    for (std::size_t b = lo; b < hi; ++b) {
      if (seg.in_place) {
        apply_block_ops(data + base, base, seg, reinterpret_cast<ComplexOf<T>*>(scratch));
      } else {
        move_block<true>(data, base, buf, seg);
        apply_block_ops(buf, base, seg, reinterpret_cast<ComplexOf<T>*>(scratch));
        move_block<false>(data, base, buf, seg);
      }
      base = ((base | seg.mask) + 1) & ~seg.mask;
    }
  });
}

// A step that no segment takes, on the whole register.
template <class T>
Status apply_to_register(const RunStepOf<T>& s, StateVectorOf<T>& state, Rng* rng, std::vector<MeasurementRecord>* records) {
  switch (s.kind) {
    case RunStepOf<T>::Kind::kMat2:
      kernels::apply_mat2<TeamExecutor, T>(state.amplitudes(), s.qubit, s.m);
      return Status::Ok();
    case RunStepOf<T>::Kind::kOperation:
      if (s.op->num_controls == 0)
        return kernels::apply_matrix<TeamExecutor, T>(state.amplitudes(), s.op->targets, s.op->template matrix_of<T>());
      return kernels::apply_controlled_matrix<TeamExecutor, T>(state.amplitudes(), s.op->controls(),
                                                            s.op->matrix_targets(), s.op->template matrix_of<T>());
    case RunStepOf<T>::Kind::kPauliRotation:
      kernels::apply_pauli_rotation<TeamExecutor, T>(state.amplitudes(), s.masks, s.c, s.s);
      return Status::Ok();
    case RunStepOf<T>::Kind::kMeasure:
    case RunStepOf<T>::Kind::kReset: {
      auto outcome = measure_qubit(state, s.qubit, *rng);
      if (!outcome.ok()) return std::move(outcome).error();
      if (s.kind == RunStepOf<T>::Kind::kMeasure) {
        if (records) records->push_back({s.qubit, *outcome});
      } else if (*outcome) {
        // reset_qubit's flip, with the team.
        static constexpr ComplexOf<T> kX[4] = {{T(0), T(0)}, {T(1), T(0)}, {T(1), T(0)}, {T(0), T(0)}};
        kernels::apply_mat2<TeamExecutor, T>(state.amplitudes(), s.qubit, kX);
      }
      return Status::Ok();
    }
  }
  return Status::Ok();
}

unsigned ceil_log2(std::size_t v) { return v <= 1 ? 0 : static_cast<unsigned>(std::bit_width(v - 1)); }

}  // namespace

namespace detail {
void set_block_buffers_fail(bool fails) { tl_buffers_fail = fails; }
}  // namespace detail

bool runs_through_executor(std::uint64_t num_qubits) {
  const detail::ExecutorConfig& c = detail::config_storage();
  return c.enabled && num_qubits >= c.min_qubits;
}

Placement placement(std::uint64_t num_qubits, RunPairs pairs) {
  const detail::ExecutorConfig& c = detail::config_storage();
  // The width alone decides the common small call, without asking the pool.
  if (pairs != RunPairs::kLong && num_qubits <= c.block_qubits) return Placement::kAlone;
  if (num_qubits < c.team_min_qubits) return Placement::kAlone;
  const std::size_t threads = pool_num_threads();
  if (threads <= 1) return Placement::kAlone;
  if (in_pool_thread() || in_team_share()) return Placement::kShared;
  const bool pair_width = c.enabled && num_qubits <= c.pair_max_qubits;
  if (pairs == RunPairs::kLong && pair_width) return Placement::kPaired;
  if (pairs == RunPairs::kShort && (pair_width || (c.enabled && threads <= 3))) return Placement::kPaired;
  return Placement::kShared;
}

template <class T>
Status append_operation_step(const StateVectorOf<T>& state, const Operation& op,
                             std::vector<RunStepOf<T>>& steps) {
  // The checks of apply_operation, in its order.
  VANTREL_TRY(validate_targets(state, op.targets));
  RunStepOf<T> step;
  const std::size_t c = op.num_controls;
  const std::vector<ComplexOf<T>>& matrix = op.matrix_of<T>();
  if (c == 0 && op.targets.size() == 1 && matrix.size() == 4) {
    step.kind = RunStepOf<T>::Kind::kMat2;
    step.qubit = op.targets[0];
    std::copy(matrix.begin(), matrix.end(), step.m);
  } else {
    if (!op.has_matrix_shape<T>()) return messages::matrix_does_not_match_targets();
    step.kind = RunStepOf<T>::Kind::kOperation;
    step.op = &op;
  }
  steps.push_back(step);
  return Status::Ok();
}

template <class T>
Status append_gate_step(const StateVectorOf<T>& state, const Gate& gate, std::vector<RunStepOf<T>>& steps) {
  RunStepOf<T> step;
  switch (gate.kind) {
    case Gate::Kind::kUnitary:
      return append_operation_step(state, gate.op, steps);
    case Gate::Kind::kMeasure:
    case Gate::Kind::kReset:
      VANTREL_TRY(validate_targets(state, std::span<const std::uint64_t>(&gate.qubit, 1)));
      step.kind = gate.kind == Gate::Kind::kMeasure ? RunStepOf<T>::Kind::kMeasure : RunStepOf<T>::Kind::kReset;
      step.qubit = gate.qubit;
      break;
    case Gate::Kind::kBarrier:
      return Status::Ok();
    case Gate::Kind::kChannel:
      // Runs with channels go step by step (trajectory.h), never here.
      return internal("a channel cannot join an executor run");
  }
  steps.push_back(step);
  return Status::Ok();
}

template <class T>
Status execute_run(StateVectorOf<T>& state, std::span<const std::type_identity_t<RunStepOf<T>>> steps, Rng* rng,
                   std::vector<MeasurementRecord>* records) {
  if (steps.empty()) return Status::Ok();
  const detail::ExecutorConfig c = detail::executor_config();
  const auto n = static_cast<unsigned>(state.num_qubits());
  // A team led from inside the pool would invite workers that are busy.
  const bool shared = placement(n) == Placement::kShared && !in_pool_thread() && !in_team_share();
  // Threads beyond the pool's first two only where each keeps some
  // 2^thread_qubits amplitudes to itself: smaller shares would be mostly
  // meeting.
  const unsigned spare = n > c.thread_qubits ? n - c.thread_qubits : 0;
  const std::size_t useful = spare >= 5 ? Team::kMaxSize : std::max<std::size_t>(2, std::size_t{1} << spare);
  Team team(shared ? std::min(pool_num_threads(), useful) : 1);

  Geometry g;
  g.n = n;
  const unsigned spread = ceil_log2(shares_for(team));
  // The geometry is sized for single-precision amplitudes: a block and a
  // piece of wider ones hold half as many, the same bytes in the caches.
  const unsigned narrower = sizeof(ComplexOf<T>) > sizeof(Complex) ? 1u : 0u;
  const unsigned block_qubits = c.block_qubits > narrower + 1 ? c.block_qubits - narrower : c.block_qubits;
  g.block = std::min(block_qubits, n > spread ? n - spread : 0u);
  g.low = std::min(c.low_qubits, g.block > 0 ? g.block - 1 : 0u);
  g.piece = std::max(1u, c.piece_qubits > narrower ? c.piece_qubits - narrower : c.piece_qubits);
  BlockBuffers& buffers = tl_buffers;
  g.gather = g.block < n && buffers.ensure(team.size(), g.block, sizeof(ComplexOf<T>));

  // Stops are checked between segments (interrupt.h); the team's helpers
  // run the leader's shares bound to its Interrupt.
  StopCheck stop;
  Segment<T> seg;
  for (std::size_t i = 0; i < steps.size();) {
    if (stop(state.size())) return interrupted();
    std::size_t end = i;
    if (g.block >= 2) end = choose_segment(steps, i, g, seg);
    if (end == i) {
      VANTREL_TRY(apply_to_register(steps[i], state, rng, records));
      ++i;
      continue;
    }
    Status failure;
    end = prepare_segment(steps, i, end, seg, failure);
    if (end > i) run_segment(seg, state, team, buffers);
    if (!failure.ok()) return failure;
    if (end > i + 1 && stop(state.size() * (end - i - 1))) return interrupted();
    i = end;
  }
  return Status::Ok();
}

#define VANTREL_EXECUTOR_OF(T)                                                                  \
  template Status append_gate_step(const StateVectorOf<T>&, const Gate&,                        \
                                   std::vector<RunStepOf<T>>&);                                 \
  template Status append_operation_step(const StateVectorOf<T>&, const Operation&,              \
                                        std::vector<RunStepOf<T>>&);                            \
  template Status execute_run(StateVectorOf<T>&, std::span<const RunStepOf<T>>, Rng*, \
                              std::vector<MeasurementRecord>*);
VANTREL_EXECUTOR_OF(float)
VANTREL_EXECUTOR_OF(double)
#undef VANTREL_EXECUTOR_OF

}  // namespace vantrel::sim
