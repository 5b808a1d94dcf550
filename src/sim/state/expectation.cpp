#include "sim/state/expectation.h"

#include <algorithm>

#include "sim/base/interrupt.h"
#include "sim/base/pool.h"
#include "sim/kernels/grain.h"
#include "sim/kernels/isa.h"
#include "sim/kernels/observable_apply.h"
#include "sim/kernels/pauli.h"

namespace vantrel::sim {

namespace {

using kernels::PauliMasks;

// The masks of a term (kernels/pauli.h says how they give its summands).
PauliMasks masks_of(const PauliTerm& term) { return pauli_masks(term.ops); }

template <bool kImaginary, class T>
inline T summand(ComplexOf<T> a, ComplexOf<T> b) {
  return kImaginary ? a.im * b.re - a.re * b.im : a.re * b.re + a.im * b.im;
}

// States below kernels::kSweepMinAmps: the sums of G terms of one kind (all
// real or all imaginary phases) in one pass, each term with its own running
// sum in ascending index order; interleaving G independent sums only lets
// the processor overlap their additions.
template <std::size_t G, bool kImaginary, class T>
void group_sums(const ComplexOf<T>* psi, std::size_t n, const PauliMasks* const* m, double* out) {
  T s[G];
  for (std::size_t g = 0; g < G; ++g) s[g] = T(0);
  for (std::size_t i = 0; i < n; ++i) {
    const ComplexOf<T> a = psi[i];
    for (std::size_t g = 0; g < G; ++g) {
      const T v = summand<kImaginary>(a, psi[i ^ m[g]->x_mask]);
      s[g] = s[g] + ((__builtin_parityll(i & m[g]->z_mask) != 0) != m[g]->negate ? -v : v);
    }
  }
  for (std::size_t g = 0; g < G; ++g) out[g] = s[g];
}

template <bool kImaginary, class T>
void sums_of_kind(const ComplexOf<T>* psi, std::size_t n, const PauliMasks* const* m, std::size_t count,
                  double* const* out) {
  constexpr std::size_t kGroup = 4;
  for (std::size_t first = 0; first < count; first += kGroup) {
    double s[kGroup];
    const std::size_t c = std::min(kGroup, count - first);
    switch (c) {
      case 1: group_sums<1, kImaginary>(psi, n, m + first, s); break;
      case 2: group_sums<2, kImaginary>(psi, n, m + first, s); break;
      case 3: group_sums<3, kImaginary>(psi, n, m + first, s); break;
      default: group_sums<4, kImaginary>(psi, n, m + first, s); break;
    }
    for (std::size_t g = 0; g < c; ++g) *out[first + g] = s[g];
  }
}

template <class T>
void small_sums(const ComplexOf<T>* psi, std::size_t n, const PauliMasks* masks, std::size_t count,
                double* sums) {
  const PauliMasks* of_kind[2][kernels::kSweepTerms];
  double* out[2][kernels::kSweepTerms];
  std::size_t counts[2] = {0, 0};
  for (std::size_t t = 0; t < count; ++t) {
    const int kind = masks[t].imaginary ? 1 : 0;
    of_kind[kind][counts[kind]] = &masks[t];
    out[kind][counts[kind]++] = &sums[t];
  }
  sums_of_kind<false>(psi, n, of_kind[0], counts[0], out[0]);
  sums_of_kind<true>(psi, n, of_kind[1], counts[1], out[1]);
}

// Large states with enough terms for more than one group of vector lanes:
// called from outside the pool, the terms are shared between two sweeps
// that may run on two threads (alternating within each kind, so both carry
// a similar load). Each term's sum is still formed whole, in order, by one
// sweep, so the split changes no bit. Inside the pool (batch rows) the
// second sweep would only follow the first on the same thread.
constexpr std::size_t kSplitMinAmps = std::size_t{1} << 16;
constexpr std::size_t kSplitMinTerms = 8;

template <class T>
void sweep_sums(const ComplexOf<T>* psi, std::size_t n, const PauliMasks* masks, std::size_t count,
                double* sums) {
  const kernels::KernelTableOf<T>& isa = kernels::active_kernels_of<T>();
  if (n < kSplitMinAmps || count < kSplitMinTerms || in_pool_thread() || pool_num_threads() < 2) {
    isa.pauli_sweep(psi, n, kernels::PauliSweep{masks, count}, sums);
    return;
  }
  PauliMasks part[2][kernels::kSweepTerms];
  std::uint8_t index[2][kernels::kSweepTerms];
  double out[2][kernels::kSweepTerms];
  std::size_t size[2] = {0, 0};
  int next[2] = {0, 0};  // half taking the next term of each kind (diagonal or not)
  for (std::size_t t = 0; t < count; ++t) {
    const int kind = masks[t].x_mask == 0;
    const int h = next[kind];
    next[kind] ^= 1;
    part[h][size[h]] = masks[t];
    index[h][size[h]++] = static_cast<std::uint8_t>(t);
  }
  join([&] { isa.pauli_sweep(psi, n, kernels::PauliSweep{part[0], size[0]}, out[0]); },
       [&] { isa.pauli_sweep(psi, n, kernels::PauliSweep{part[1], size[1]}, out[1]); });
  for (int h = 0; h < 2; ++h)
    for (std::size_t i = 0; i < size[h]; ++i) sums[index[h][i]] = out[h][i];
}

}  // namespace

// Terms are summed a sweep of up to kSweepTerms at a time: each sum depends
// on its term alone, so they may be formed in any order and side by side.
// The sums (double, kernels/pauli.h), times their coefficients, are then
// added in list order in double.
template <class T>
Result<T> expectation(const StateVectorOf<T>& state, std::span<const PauliTerm> terms) {
  VANTREL_TRY(validate_observable(terms, state.num_qubits()));
  const ComplexOf<T>* psi = state.data();
  const std::size_t n = state.size();
  double total = 0.0;
  StopCheck stop;
  for (std::size_t first = 0; first < terms.size(); first += kernels::kSweepTerms) {
    const std::size_t count = std::min(kernels::kSweepTerms, terms.size() - first);
    if (stop(n * count)) return interrupted();
    PauliMasks masks[kernels::kSweepTerms];
    double sums[kernels::kSweepTerms];
    for (std::size_t t = 0; t < count; ++t) masks[t] = masks_of(terms[first + t]);
    if (n < kernels::kSweepMinAmps) {
      small_sums(psi, n, masks, count, sums);
    } else {
      sweep_sums(psi, n, masks, count, sums);
    }
    for (std::size_t t = 0; t < count; ++t) total = total + sums[t] * terms[first + t].coefficient;
  }
  return static_cast<T>(total);
}

namespace {

// Amplitudes whose sums are held on the stack while every term of a round
// is added to them.
constexpr std::size_t kBlock = 256;
// Terms of one round (their lane coefficients on the stack, 8 KiB).
constexpr std::size_t kApplyTerms = 64;
// Blocks per piece of parallel work (kernels/grain.h).
constexpr std::size_t kApplyGrainBlocks = kernels::kGrainAmps / kBlock;

}  // namespace

namespace detail {

// Blocks of kBlock amplitudes (the whole state when it is smaller) are summed
// on the stack, kApplyTerms terms at a time: the first round starts each
// amplitude at +0, later rounds continue from what the earlier ones stored,
// so every amplitude still adds its terms in list order. Each lane of a
// register performs exactly the scalar operations (the product, then the
// addition), so every table's kernel is the plain loop's arithmetic.
template <class T>
Status apply_observable_with(const kernels::KernelTableOf<T>& table, const StateVectorOf<T>& state,
                             std::span<const PauliTerm> terms, StateVectorOf<T>& out) {
  using C = ComplexOf<T>;
  VANTREL_TRY(validate_observable(terms, state.num_qubits()));
  if (out.num_qubits() != state.num_qubits() || out.data() == nullptr ||
      out.data() == state.data())
    return internal("observable applied into a state of another width or into its input");
  const C* psi = state.data();
  C* lambda = out.data();
  const std::size_t n = state.size();
  const std::size_t block = std::min(n, kBlock);
  const auto add_term = n < kernels::kTermGroup ? &kernels::add_term_scalar<T> : table.add_term;
  StopCheck stop;
  for (std::size_t first = 0; first < terms.size(); first += kApplyTerms) {
    const std::size_t count = std::min(kApplyTerms, terms.size() - first);
    if (stop(n * count)) return interrupted();
    kernels::TermLanesOf<T> lanes[kApplyTerms];
    for (std::size_t t = 0; t < count; ++t)
      lanes[t] = kernels::term_lanes<T>(masks_of(terms[first + t]),
                                       static_cast<T>(terms[first + t].coefficient));
    parallel_for(n / block, kApplyGrainBlocks, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t base = lo * block; base < hi * block; base += block) {
        alignas(64) C acc[kBlock];
        for (std::size_t k = 0; k < block; ++k)
          acc[k] = first == 0 ? C{T(0), T(0)} : lambda[base + k];
        for (std::size_t t = 0; t < count; ++t) add_term(acc, psi, base, block, lanes[t]);
        for (std::size_t k = 0; k < block; ++k) lambda[base + k] = acc[k];
      }
    });
  }
  return Status::Ok();
}

}  // namespace detail

template <class T>
Status apply_observable(const StateVectorOf<T>& state, std::span<const PauliTerm> terms,
                        StateVectorOf<T>& out) {
  return detail::apply_observable_with(kernels::active_kernels_of<T>(), state, terms, out);
}

#define VANTREL_EXPECTATION_OF(T)                                                              \
  template Result<T> expectation(const StateVectorOf<T>&, std::span<const PauliTerm>);        \
  template Status apply_observable(const StateVectorOf<T>&, std::span<const PauliTerm>,       \
                                   StateVectorOf<T>&);                                        \
  template Status detail::apply_observable_with(const kernels::KernelTableOf<T>&,             \
                                                const StateVectorOf<T>&,                      \
                                                std::span<const PauliTerm>, StateVectorOf<T>&);
VANTREL_EXPECTATION_OF(float)
VANTREL_EXPECTATION_OF(double)
#undef VANTREL_EXPECTATION_OF

}  // namespace vantrel::sim
