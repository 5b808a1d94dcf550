// The general kernel: a dense 2^k x 2^k matrix applied in place.
//
// The amplitudes fall into groups of d = 2^k sharing their non-target bits.
// Each group is gathered, multiplied and scattered back:
//   out[r] = sum over j = 0..d-1, increasing, of M[r*d + j] * in[j]
// as a running complex sum starting at +0 +0i. Local index bit (k-1-t) is
// qubit targets[t].
//
// Zero entries of M are skipped. For finite amplitudes this changes no bit:
// the running sum starts at +0 and can never become -0 (round to nearest
// gives -0 only for -0 + -0), and a zero entry contributes a product of +-0,
// which leaves any sum other than -0 unchanged. Rows whose only nonzero entry
// is a diagonal 1 (the rows of a controlled matrix where some control is 0)
// therefore reduce to a + 0: the amplitude itself with -0 turned into +0,
// which is what those rows do without reading any other amplitude.
//
// A controlled matrix (controls kept apart from the small matrix on its
// targets) is applied as the full controlled matrix would be, bit for bit:
// the groups whose controls are all 1 get the small matrix's running sums
// (the full matrix's block rows, whose entries outside the block are zeros
// and skipped), every other amplitude a + 0 (its identity rows).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

#include "sim/base/complex.h"
#include "sim/kernels/isa.h"
#include "sim/kernels/mat2.h"
#include "sim/base/pool.h"
#include "sim/base/result.h"

namespace vantrel::sim::kernels {

// Gathered amplitudes held on the stack (a chunk of groups); groups of more
// than half of it go through a heap buffer, each group's rows spread over
// the pool.
inline constexpr std::size_t kStackGroup = 1024;
// Groups handled together when their bases are consecutive.
inline constexpr std::size_t kRunWidth = 64;
// Work (gathers plus products) below which a range of groups of the
// gathering path is not cut, about 100 us: handing a piece over to another
// thread costs microseconds on an idle machine and tens of them when the
// other processors are busy, so a piece must be worth it (a dense
// three-qubit gate on 14 qubits stays on the calling thread).
inline constexpr std::size_t kMatrixGrainWork = std::size_t{1} << 18;
// Amplitudes per piece of the direct kernels (grain.h).
inline constexpr std::size_t kDirectGrainAmps = kGrainAmps;

// g's bits deposited, from the lowest up, on the bits of an index that are 0
// in `mask`.
std::size_t deposit(std::size_t g, std::size_t mask);

// a + 0 on `count` amplitudes: a negative zero component turns positive,
// everything else stays. Writes only amplitudes that change.
template <class T>
void plus_zero(ComplexOf<T>* a, std::size_t count);

// A controlled one-qubit gate: a matrix that is the identity except its
// trailing 2x2 block, all targets but the last being controls. Rows where a
// control is 0 are lone diagonal ones (a + 0, see above); the block rows
// give the one-qubit update of the pair plus 0, which equals the running sum
// from +0 (both differ from the unstarted sum only in the sign of a zero
// result). So such a gate is one pass over the pairs of the target qubit:
// pairs whose controls are all 1 get the update plus 0, the others a + 0 on
// both amplitudes.
//
// Pairs are numbered as in the one-qubit kernel (mat2.h). In that numbering
// the controls below bit kControlWindowBits (`low`) vary within every
// vector and are resolved lane by lane; the others (`high`) are constant on
// aligned segments of `segment` pairs, which are either updated or only
// normalised (read, and written back only where a zero occurs).
inline constexpr unsigned kControlWindowBits = 5;

template <class T>
struct ControlledMat2Of {
  std::size_t controls = 0;  // mask of the control qubits
  unsigned target = 0;
  ComplexOf<T> u[4];
  // Derived by match_controlled_mat2: controls in pair numbering.
  std::uint32_t low = 0;
  std::size_t high = 0;
  std::size_t segment = 0;  // power of two; 0: the whole register is one segment
};
using ControlledMat2 = ControlledMat2Of<float>;

// Recognises the shape; identity entries must be exactly 1 and zeros +-0.
bool match_controlled_mat2(std::span<const std::uint64_t> targets, std::span<const Complex> matrix,
                           ControlledMat2Of<float>* out);
bool match_controlled_mat2(std::span<const std::uint64_t> targets, std::span<const ComplexD> matrix,
                           ControlledMat2Of<double>* out);
// The gate of u on `target` controlled by the qubits in `controls` (a mask,
// at least one qubit, not containing the target).
template <class T>
void make_controlled_mat2(std::size_t controls, unsigned target, const ComplexOf<T> u[4],
                          ControlledMat2Of<T>* out);

// The gate on pairs [lo, hi), any cut (the pair kernels are in mat2.h).
template <class T>
void controlled_mat2_pairs(ComplexOf<T>* amps, const ControlledMat2Of<T>& c, std::size_t lo, std::size_t hi,
                           const KernelTableOf<T>& isa);

template <class Exec, class T = float>
void apply_controlled_mat2(std::type_identity_t<std::span<ComplexOf<T>>> amps, const ControlledMat2Of<T>& c,
                           const KernelTableOf<T>& isa = active_kernels_of<T>()) {
  ComplexOf<T>* data = amps.data();
  Exec::parallel_for(amps.size() / 2, kMat2GrainPairs,
                     [&](std::size_t lo, std::size_t hi) { controlled_mat2_pairs(data, c, lo, hi, isa); });
}

// One row of a chunk of groups: out[i] = sum over e < count, increasing, of
// vals[e] * scratch[cols[e] * width + i], from +0, for i < c. Lanes i are
// independent groups; every lane performs the scalar sum exactly.
template <class T>
void row_sums_sse2(const ComplexOf<T>* vals, const std::uint32_t* cols, std::size_t count,
                   const ComplexOf<T>* scratch, std::size_t width, std::size_t c, ComplexOf<T>* out);
template <class T>
void row_sums_avx2(const ComplexOf<T>* vals, const std::uint32_t* cols, std::size_t count,
                   const ComplexOf<T>* scratch, std::size_t width, std::size_t c, ComplexOf<T>* out);
template <class T>
void row_sums_avx512(const ComplexOf<T>* vals, const std::uint32_t* cols, std::size_t count,
                     const ComplexOf<T>* scratch, std::size_t width, std::size_t c, ComplexOf<T>* out);
// The scalar sums of lanes [from, c). Static, like every helper defined in
// a header that files of a wider instruction set call: each file gets its
// own copy built with its own flags, so the linker never hands a baseline
// caller a copy with wider instructions.
template <class T>
static inline void row_sums_scalar(const ComplexOf<T>* vals, const std::uint32_t* cols, std::size_t count,
                                   const ComplexOf<T>* scratch, std::size_t width, std::size_t from,
                                   std::size_t c, ComplexOf<T>* out) {
  for (std::size_t i = from; i < c; ++i) {
    ComplexOf<T> sum{};
    for (std::size_t e = 0; e < count; ++e) sum = cadd(sum, cmul(vals[e], scratch[cols[e] * width + i]));
    out[i] = sum;
  }
}

// A two- or three-qubit matrix applied directly to the amplitudes: a vector
// holds the same local index of four groups (read as they lie when every
// target is at qubit 2 or above, regrouped in registers when qubit 0 or 1
// is one of them), so nothing is gathered. Each row keeps
// its nonzero entries in increasing column order, classified by what their
// product can contribute to a running sum that starts at +0. Such a sum is
// never -0 (round to nearest gives -0 only for -0 + -0), so a product that
// is +-0 leaves it unchanged; hence, for finite amplitudes, an entry
// m = (r, +-0) adds exactly (r*x.re, r*x.im) (the dropped terms are +-0
// products, which only matter when the kept product is zero too, and then
// neither changes the sum), m = (+-0, i) adds (-(i*x.im), i*x.re), m = 1
// adds x and m = -1 subtracts x.
enum DirectKind : std::uint8_t { kGeneral, kReal, kImag, kOne, kMinusOne };

// Groups are numbered as in MatrixPlanOf (`skip` and `fixed` as there).
template <class T, std::size_t D>
struct DirectPlanOf {
  std::size_t mask = 0;          // target qubits
  std::size_t fixed = 0;         // control qubits, none below qubit 2
  std::size_t skip = 0;          // mask | fixed
  unsigned low_bit = 0;          // lowest qubit of skip
  std::size_t offsets[D] = {};   // amplitude offset of each local index
  std::uint8_t count[D] = {};    // nonzero entries of each row
  std::uint8_t cols[D][D] = {};  // their columns, increasing
  std::uint8_t kinds[D][D] = {};
  ComplexOf<T> vals[D][D] = {};  // their values
  bool dense = false;            // all entries of kind kGeneral
  bool permutation = false;      // every row a single entry of kind kOne
  // Lane coefficients of each entry (lanes.h, coef) as wide as the widest
  // register: re repeated, (-im, im) alternating. Filled for the entries
  // counted above only.
  static constexpr std::size_t kLanes = 64 / sizeof(T);
  alignas(64) T re[D][D][kLanes];
  alignas(64) T im[D][D][kLanes];
};
template <std::size_t D>
using DirectPlan = DirectPlanOf<float, D>;
using Direct4 = DirectPlan<4>;
using Direct8 = DirectPlan<8>;

// Fills `out` for a D x D matrix on log2(D) targets, applied to the groups
// whose `fixed` qubits (disjoint from the targets, none below qubit 2) are
// all 1.
template <class T, std::size_t D>
void prepare_direct(std::span<const std::uint64_t> targets, std::type_identity_t<std::span<const ComplexOf<T>>> matrix,
                    DirectPlanOf<T, D>* out, std::size_t fixed = 0);
// Groups [lo, hi) (numbered as in MatrixPlanOf) with AVX2 or AVX-512; any
// cut.
template <class T, std::size_t D>
void direct_groups_avx2(ComplexOf<T>* amps, const DirectPlanOf<T, D>& plan, std::size_t lo, std::size_t hi);
template <class T, std::size_t D>
void direct_groups_avx512(ComplexOf<T>* amps, const DirectPlanOf<T, D>& plan, std::size_t lo, std::size_t hi);

// One group, scalar: the reference's sums over the nonzero entries (static:
// see row_sums_scalar).
template <class T, std::size_t D>
static inline void direct_group_scalar(ComplexOf<T>* amps, const DirectPlanOf<T, D>& plan, std::size_t base) {
  ComplexOf<T> x[D];
  for (std::size_t j = 0; j < D; ++j) x[j] = amps[base + plan.offsets[j]];
  for (std::size_t r = 0; r < D; ++r) {
    ComplexOf<T> sum{};
    for (std::size_t e = 0; e < plan.count[r]; ++e) sum = cadd(sum, cmul(plan.vals[r][e], x[plan.cols[r][e]]));
    amps[base + plan.offsets[r]] = sum;
  }
}

// A matrix prepared for one application: offsets of each local index and the
// nonzero entries of each row. Small matrices keep their tables inline, so
// a gate on a small register allocates nothing.
//
// Groups: the amplitudes sharing their bits outside the targets. With
// `fixed` qubits (the controls of a controlled matrix) the plan covers only
// the groups where those are all 1: group g has its bits deposited on the
// qubits outside targets and fixed, the fixed ones set.
template <class T>
class MatrixPlanOf {
 public:
  using Amp = ComplexOf<T>;
  MatrixPlanOf() = default;
  MatrixPlanOf(const MatrixPlanOf&) = delete;
  MatrixPlanOf& operator=(const MatrixPlanOf&) = delete;

  // Fails with kOutOfMemory when the tables cannot be allocated. `matrix`
  // must hold 4^k entries, k = targets.size() <= 31, targets below 64;
  // `fixed` is a mask of qubits disjoint from the targets. Two- and
  // three-qubit matrices take the direct kernels of `isa` where it has them
  // and no fixed qubit is qubit 0 or 1, else the gathering path. `isa` must
  // outlive the plan.
  Status prepare(std::span<const std::uint64_t> targets, std::span<const Amp> matrix,
                 const KernelTableOf<T>& isa = active_kernels_of<T>(), std::size_t fixed = 0);

  std::size_t dim() const { return d_; }
  std::size_t work_per_group() const { return d_ + nnz_; }
  // Groups per piece of parallel work.
  std::size_t grain() const {
    return std::max<std::size_t>(1, direct_ ? kDirectGrainAmps / d_ : kMatrixGrainWork / work_per_group());
  }
  // Groups of a register of `amps` amplitudes.
  std::size_t groups(std::size_t amps) const { return amps >> std::popcount(skip_); }
  // True when groups go straight to a direct kernel (no scratch, any cut).
  bool direct() const { return direct_ != 0; }

  // Base index of group g.
  std::size_t group_base(std::size_t g) const;
  // The next base after `base`, in increasing order.
  std::size_t next_base(std::size_t base) const { return (((base | skip_) + 1) & ~skip_) | fixed_; }

  // Applies the matrix to groups [lo, hi); `scratch` holds kStackGroup
  // entries, at least 2 dim() (unused, and may be null, when direct()).
  void apply_groups(Amp* amps, std::size_t lo, std::size_t hi, Amp* scratch) const;

  // One group in two steps, for groups whose rows are spread over threads:
  // gather, then rows [lo, hi) (each row writes only its own amplitude).
  void gather(const Amp* amps, std::size_t base, Amp* scratch) const;
  void apply_rows(Amp* amps, std::size_t base, const Amp* in, std::size_t lo, std::size_t hi) const;

 private:
  void apply_runs(Amp* amps, std::size_t lo, std::size_t hi, Amp* scratch) const;
  const KernelTableOf<T>* isa_ = nullptr;
  // Two- and three-qubit matrices where the table has direct kernels.
  std::size_t direct_ = 0;  // 0, or the dimension of the direct plan in use
  DirectPlanOf<T, 4> direct4_;
  DirectPlanOf<T, 8> direct8_;
  void apply_pairs(Amp* amps, std::size_t lo, std::size_t hi) const;
  void prepare_pairs(std::span<const std::uint64_t> targets, std::span<const Amp> matrix);

  // Single-precision matrices of up to 8 x 8 with qubit 0 among the targets
  // go one group at a time, each SSE2 vector holding two adjacent amplitudes
  // (qubit 0 clear and set): rows r and r' = r + (local bit of qubit 0) are summed together,
  // each lane over the columns either row needs, in increasing order. A
  // column only the other lane needs adds a +-0 product, which leaves a sum
  // that starts at +0 unchanged.
  static constexpr std::size_t kMaxPairDim = 8;
  // Filled only when pairs_ is set.
  bool pairs_ = false;
  std::size_t pair_bit_ = 0;                          // local bit of qubit 0
  std::uint8_t pair_row_[kMaxPairDim / 2];       // r, with pair_bit_ clear
  std::uint8_t pair_identity_[kMaxPairDim / 2];  // both rows lone diagonal ones
  std::uint8_t pair_count_[kMaxPairDim / 2];
  std::uint8_t pair_cols_[kMaxPairDim / 2][kMaxPairDim];
  struct PairCoef {
    alignas(16) float re[4];
    float im[4];  // -im, im of row r, then of row r'
  };
  PairCoef pair_coef_[kMaxPairDim / 2][kMaxPairDim];

  std::size_t k_ = 0, d_ = 0, mask_ = 0, nnz_ = 0;
  std::size_t fixed_ = 0;  // qubits that are 1 in every group
  std::size_t skip_ = 0;   // mask_ | fixed_: the bits group numbers skip
  unsigned low_bit_ = 0;   // lowest qubit of skip_
  std::size_t* offsets_ = nullptr;    // d: amplitude offset of each local index
  std::size_t* row_start_ = nullptr;  // d + 1: entries of row r
  std::uint32_t* cols_ = nullptr;     // nnz, increasing within a row
  Amp* vals_ = nullptr;               // nnz
  std::uint32_t* needed_ = nullptr;   // columns read by non-identity rows
  std::size_t num_needed_ = 0;
  std::uint8_t* identity_ = nullptr;  // d: row is a lone diagonal 1
  alignas(16) std::byte small_[4096];
  std::unique_ptr<std::byte[]> large_;
};

using MatrixPlan = MatrixPlanOf<float>;

// Runs a prepared plan over all its groups, parallel under Exec.
template <class Exec, class T>
Status run_plan(std::type_identity_t<std::span<ComplexOf<T>>> amps, const MatrixPlanOf<T>& plan) {
  using Amp = ComplexOf<T>;
  const std::size_t d = plan.dim();
  const std::size_t groups = plan.groups(amps.size());
  Amp* data = amps.data();
  if (plan.direct()) {
    Exec::parallel_for(groups, plan.grain(),
                       [&](std::size_t lo, std::size_t hi) { plan.apply_groups(data, lo, hi, nullptr); });
    return Status::Ok();
  }
  if (2 * d <= kStackGroup && (groups >= 8 || d < 64)) {
    const std::size_t grain = plan.grain();
    Exec::parallel_for(groups, grain, [&](std::size_t lo, std::size_t hi) {
      // Uninitialised on purpose: every entry read is gathered first.
      alignas(16) std::byte scratch[kStackGroup * sizeof(Amp)];
      plan.apply_groups(data, lo, hi, reinterpret_cast<Amp*>(scratch));
    });
    return Status::Ok();
  }
  // Few large groups: one group at a time, its rows spread over the pool.
  std::unique_ptr<Amp[]> scratch(new (std::nothrow) Amp[d]);
  if (!scratch)
    return allocation_failure("a gather buffer for a " + dec(std::countr_zero(d)) + "-qubit matrix",
                              d * sizeof(Amp));
  const std::size_t row_grain = std::max<std::size_t>(1, kMatrixGrainWork * d / plan.work_per_group());
  for (std::size_t g = 0, base = plan.group_base(0); g < groups; ++g, base = plan.next_base(base)) {
    plan.gather(data, base, scratch.get());
    Exec::parallel_for(d, row_grain, [&](std::size_t lo, std::size_t hi) {
      plan.apply_rows(data, base, scratch.get(), lo, hi);
    });
  }
  return Status::Ok();
}

// Applies `matrix` on `targets` to `amps` (2^n entries, targets distinct and
// below n, 4^k entries), parallel under Exec. Fails only with kOutOfMemory,
// before any amplitude changes.
template <class Exec, class T = float>
Status apply_matrix(std::type_identity_t<std::span<ComplexOf<T>>> amps, std::span<const std::uint64_t> targets,
                    std::type_identity_t<std::span<const ComplexOf<T>>> matrix,
                    const KernelTableOf<T>& isa = active_kernels_of<T>()) {
  Exec::num_threads();  // every kernel call makes sure the pool exists
  if (ControlledMat2Of<T> c; match_controlled_mat2(targets, matrix, &c)) {
    apply_controlled_mat2<Exec, T>(amps, c, isa);
    return Status::Ok();
  }
  MatrixPlanOf<T> plan;
  VANTREL_TRY(plan.prepare(targets, matrix, isa));
  return run_plan<Exec, T>(amps, plan);
}

// a + 0 on amplitudes [lo, hi) whose `fixed` qubits are not all 1, and
// possibly on others (when a fixed qubit is 0 or 1, on every amplitude of
// the range): runs before the groups where they are all 1 get their sums,
// which do not depend on the sign of a zero they read.
template <class T>
void plus_zero_unless(ComplexOf<T>* amps, std::size_t fixed, std::size_t lo, std::size_t hi);

// A controlled matrix split for the kernels: some controls folded into a
// dense matrix (identity except the trailing block) on folded ++ targets,
// the others fixed qubits of the plan. Folded are all controls of a gate on
// three qubits in all (the direct kernels take it in one pass), else the
// controls at qubit 0 or 1 of a matrix of two to four targets, as long as
// the dense matrix stays within 32 x 32: the direct kernels need qubits 0
// and 1 within their groups, and the gathering path copies groups in runs
// of consecutive bases, which a fixed qubit 0 or 1 would cut to single
// amplitudes.
template <class T>
struct ControlledSplitOf {
  static constexpr std::size_t kMaxQubits = 5;
  std::uint64_t qubits[kMaxQubits];  // folded controls, then the targets
  std::size_t count = 0;
  std::size_t fixed = 0;
  ComplexOf<T> matrix[std::size_t{1} << (2 * kMaxQubits)];
  std::size_t entries() const { return std::size_t{1} << (2 * count); }
};
using ControlledSplit = ControlledSplitOf<float>;
// True when controls were folded; `out` is filled then.
bool fold_controls(std::span<const std::uint64_t> controls, std::span<const std::uint64_t> targets,
                   std::span<const Complex> matrix, ControlledSplitOf<float>* out);
bool fold_controls(std::span<const std::uint64_t> controls, std::span<const std::uint64_t> targets,
                   std::span<const ComplexD> matrix, ControlledSplitOf<double>* out);

// Applies `matrix` on `targets` to the amplitudes whose `controls` (at
// least one, distinct from each other and from the targets, all below n)
// are all 1, and a + 0 to every other amplitude: the same bits as
// apply_matrix with the full controlled matrix on controls ++ targets, with
// the kernels of `isa`. Fails only with kOutOfMemory, before any amplitude
// changes.
template <class Exec, class T = float>
Status apply_controlled_matrix(std::type_identity_t<std::span<ComplexOf<T>>> amps,
                               std::span<const std::uint64_t> controls, std::span<const std::uint64_t> targets,
                               std::type_identity_t<std::span<const ComplexOf<T>>> matrix,
                               const KernelTableOf<T>& isa = active_kernels_of<T>()) {
  Exec::num_threads();  // every kernel call makes sure the pool exists
  std::size_t fixed = 0;
  for (std::uint64_t c : controls) fixed |= std::size_t{1} << c;
  if (targets.size() == 1) {
    ControlledMat2Of<T> c;
    make_controlled_mat2(fixed, static_cast<unsigned>(targets[0]), matrix.data(), &c);
    apply_controlled_mat2<Exec, T>(amps, c, isa);
    return Status::Ok();
  }
  MatrixPlanOf<T> plan;
  ControlledSplitOf<T> split;
  if (fold_controls(controls, targets, matrix, &split)) {
    fixed = split.fixed;
    VANTREL_TRY(plan.prepare(std::span(split.qubits, split.count), std::span(split.matrix, split.entries()),
                             isa, fixed));
  } else {
    VANTREL_TRY(plan.prepare(targets, matrix, isa, fixed));
  }
  ComplexOf<T>* data = amps.data();
  if (fixed != 0)
    Exec::parallel_for(amps.size(), kDirectGrainAmps,
                       [&](std::size_t lo, std::size_t hi) { plus_zero_unless(data, fixed, lo, hi); });
  return run_plan<Exec, T>(amps, plan);
}

}  // namespace vantrel::sim::kernels
