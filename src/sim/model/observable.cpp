#include "sim/model/observable.h"

#include <emmintrin.h>

#include <algorithm>
#include <numeric>

#include "sim/base/messages.h"
#include "sim/base/duplicates.h"
#include "sim/base/interrupt.h"
#include "sim/kernels/isa.h"
#include "sim/kernels/partner_sse2.h"
#include "sim/kernels/pauli.h"
#include "sim/base/pool.h"

namespace vantrel::sim {

Result<PauliTerm> PauliTerm::create(std::vector<PauliFactor> ops, float coefficient) {
  // The factor reported is the earliest one that has a later duplicate.
  const std::size_t dup =
      first_duplicate(std::span<const PauliFactor>(ops), [](const PauliFactor& f) { return f.qubit; });
  if (dup != ops.size()) return messages::duplicate_qubit(ops[dup].qubit);
  std::sort(ops.begin(), ops.end(),
            [](const PauliFactor& a, const PauliFactor& b) { return a.qubit < b.qubit; });
  PauliTerm term;
  term.ops = std::move(ops);
  term.coefficient = coefficient;
  return term;
}

Result<Observable> Observable::create(std::vector<PauliTerm> terms) {
  if (terms.empty()) return invalid("observable must contain at least one term");
  Observable obs;
  obs.terms_ = std::move(terms);
  return obs;
}

Result<Observable> Observable::single(PauliLabel label, std::uint64_t qubit, float coefficient) {
  auto term = PauliTerm::create({PauliFactor{qubit, label}}, coefficient);
  if (!term.ok()) return std::move(term).error();
  std::vector<PauliTerm> terms;
  terms.push_back(std::move(term).value());
  return create(std::move(terms));
}

Status validate_observable(std::span<const PauliTerm> terms, std::uint64_t num_qubits) {
  for (const PauliTerm& term : terms)
    for (const PauliFactor& f : term.ops)
      if (f.qubit >= num_qubits)
        return invalid("observable references qubit " + dec(f.qubit) +
                       " but state vector only has " + dec(num_qubits) + " qubits");
  return Status::Ok();
}

kernels::PauliMasks pauli_masks(std::span<const PauliFactor> factors) {
  kernels::PauliMasks m{0, 0, false, false};
  unsigned ny = 0;
  for (const PauliFactor& f : factors) {
    const std::uint64_t bit = std::uint64_t{1} << f.qubit;
    switch (f.label) {
      case PauliLabel::kX: m.x_mask |= bit; break;
      case PauliLabel::kY: m.x_mask |= bit; m.z_mask |= bit; ++ny; break;
      case PauliLabel::kZ: m.z_mask |= bit; break;
    }
  }
  // (-i)^ny is 1, -i, -1, i for ny = 0, 1, 2, 3 (mod 4).
  m.imaginary = (ny & 1) != 0;
  m.negate = (ny & 3) == 1 || (ny & 3) == 2;
  return m;
}

namespace {

using kernels::PauliMasks;

// The masks of a term (kernels/pauli.h says how they give its summands).
PauliMasks masks_of(const PauliTerm& term) { return pauli_masks(term.ops); }

template <bool kImaginary>
inline float summand(Complex a, Complex b) {
  return kImaginary ? a.im * b.re - a.re * b.im : a.re * b.re + a.im * b.im;
}

// States below kernels::kSweepMinAmps: the sums of G terms of one kind (all
// real or all imaginary phases) in one pass, each term with its own running
// sum in ascending index order; interleaving G independent sums only lets
// the processor overlap their additions.
template <std::size_t G, bool kImaginary>
void group_sums(const Complex* psi, std::size_t n, const PauliMasks* const* m, float* out) {
  float s[G];
  for (std::size_t g = 0; g < G; ++g) s[g] = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const Complex a = psi[i];
    for (std::size_t g = 0; g < G; ++g) {
      const float v = summand<kImaginary>(a, psi[i ^ m[g]->x_mask]);
      s[g] = s[g] + ((__builtin_parityll(i & m[g]->z_mask) != 0) != m[g]->negate ? -v : v);
    }
  }
  for (std::size_t g = 0; g < G; ++g) out[g] = s[g];
}

template <bool kImaginary>
void sums_of_kind(const Complex* psi, std::size_t n, const PauliMasks* const* m, std::size_t count,
                  float* const* out) {
  constexpr std::size_t kGroup = 4;
  for (std::size_t first = 0; first < count; first += kGroup) {
    float s[kGroup];
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

void small_sums(const Complex* psi, std::size_t n, const PauliMasks* masks, std::size_t count,
                float* sums) {
  const PauliMasks* of_kind[2][kernels::kSweepTerms];
  float* out[2][kernels::kSweepTerms];
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

void sweep_sums(const Complex* psi, std::size_t n, const PauliMasks* masks, std::size_t count, float* sums) {
  const kernels::KernelTable& isa = kernels::active_kernels();
  if (n < kSplitMinAmps || count < kSplitMinTerms || in_pool_thread() || pool_num_threads() < 2) {
    isa.pauli_sweep(psi, n, kernels::PauliSweep{masks, count}, sums);
    return;
  }
  PauliMasks part[2][kernels::kSweepTerms];
  std::uint8_t index[2][kernels::kSweepTerms];
  float out[2][kernels::kSweepTerms];
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
// The totals are then added in list order.
Result<float> expectation(const StateVector& state, std::span<const PauliTerm> terms) {
  VANTREL_TRY(validate_observable(terms, state.num_qubits()));
  const Complex* psi = state.data();
  const std::size_t n = state.size();
  float total = 0.0f;
  StopCheck stop;
  for (std::size_t first = 0; first < terms.size(); first += kernels::kSweepTerms) {
    const std::size_t count = std::min(kernels::kSweepTerms, terms.size() - first);
    if (stop(n * count)) return interrupted();
    PauliMasks masks[kernels::kSweepTerms];
    float sums[kernels::kSweepTerms];
    for (std::size_t t = 0; t < count; ++t) masks[t] = masks_of(terms[first + t]);
    if (n < kernels::kSweepMinAmps) {
      small_sums(psi, n, masks, count, sums);
    } else {
      sweep_sums(psi, n, masks, count, sums);
    }
    for (std::size_t t = 0; t < count; ++t) total = total + sums[t] * terms[first + t].coefficient;
  }
  return total;
}

namespace {

// Amplitudes whose sums are held on the stack while every term of a round
// is added to them.
constexpr std::size_t kBlock = 256;
// Terms of one round (their lane coefficients on the stack, 8 KiB).
constexpr std::size_t kApplyTerms = 64;
// Blocks per piece of parallel work: 32768 amplitudes, so that registers of
// up to 15 qubits stay on the calling thread.
constexpr std::size_t kApplyGrainBlocks = 128;

// acc[k] += the term's value at amplitude base + k, for k < count: the plain
// loop, for states of fewer than eight amplitudes and as the reference.
void add_term_scalar(Complex* acc, const Complex* psi, std::size_t base, std::size_t count,
                     const detail::TermLanes& t) {
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t i = base + k;
    const Complex b = psi[i ^ t.x_high ^ t.x_low];
    const Complex v = t.swap_parts ? Complex{b.im, b.re} : b;
    const float* c = t.coef[__builtin_parityll(i & t.z_high)] + 2 * (i & 7);
    acc[k] = {acc[k].re + c[0] * v.re, acc[k].im + c[1] * v.im};
  }
}

// SSE2: four registers of two amplitudes per group of eight; the partner
// pair is read where bits 1-2 of x_low send it and swapped by bit 0.
template <bool kSwapPair, bool kSwapParts>
void add_term_sse2(Complex* acc, const Complex* psi, std::size_t base, std::size_t count,
                   const detail::TermLanes& t) {
  const std::size_t pair_x = t.x_low & 6;
  for (std::size_t k = 0; k < count; k += 8) {
    const std::size_t i = base + k;
    const Complex* p = psi + (i ^ t.x_high);
    const float* c = t.coef[__builtin_parityll(i & t.z_high)];
    for (std::size_t r = 0; r < 4; ++r) {
      const __m128 b = kernels::partner_pair_sse2<kSwapPair, kSwapParts>(
          _mm_loadu_ps(reinterpret_cast<const float*>(p + ((2 * r) ^ pair_x))));
      float* a = reinterpret_cast<float*>(acc + k + 2 * r);
      _mm_storeu_ps(a, _mm_add_ps(_mm_loadu_ps(a), _mm_mul_ps(_mm_load_ps(c + 4 * r), b)));
    }
  }
}

void add_term_sse2_any(Complex* acc, const Complex* psi, std::size_t base, std::size_t count,
                       const detail::TermLanes& t) {
  const bool pair = (t.x_low & 1) != 0;
  if (t.swap_parts)
    return pair ? add_term_sse2<true, true>(acc, psi, base, count, t)
                : add_term_sse2<false, true>(acc, psi, base, count, t);
  return pair ? add_term_sse2<true, false>(acc, psi, base, count, t)
              : add_term_sse2<false, false>(acc, psi, base, count, t);
}

using AddTermFn = void (*)(Complex*, const Complex*, std::size_t, std::size_t,
                           const detail::TermLanes&);

AddTermFn add_term_for(kernels::Isa isa) {
  switch (isa) {
    case kernels::Isa::kScalar: return &add_term_scalar;
    case kernels::Isa::kAvx512: return &detail::add_term_avx512;
    case kernels::Isa::kAvx2: return &detail::add_term_avx2;
    default: return &add_term_sse2_any;
  }
}

}  // namespace

namespace detail {

TermLanes term_lanes(const kernels::PauliMasks& m, float c) {
  TermLanes t;
  t.x_high = m.x_mask & ~std::uint64_t{7};
  t.x_low = m.x_mask & 7;
  t.z_high = m.z_mask & ~std::uint64_t{7};
  t.swap_parts = m.imaginary;
  for (int par = 0; par < 2; ++par)
    for (unsigned j = 0; j < 8; ++j) {
      const bool neg = ((__builtin_parityll(j & m.z_mask) != 0) != m.negate) != (par != 0);
      const float signed_c = neg ? -c : c;
      t.coef[par][2 * j] = m.imaginary ? -signed_c : signed_c;
      t.coef[par][2 * j + 1] = signed_c;
    }
  return t;
}

// Blocks of kBlock amplitudes (the whole state when it is smaller) are summed
// on the stack, kApplyTerms terms at a time: the first round starts each
// amplitude at +0, later rounds continue from what the earlier ones stored,
// so every amplitude still adds its terms in list order. Each lane of a
// register performs exactly the scalar operations (the product, then the
// addition), so every register form is the plain loop's arithmetic.
Status apply_observable_isa(kernels::Isa isa, const StateVector& state,
                            std::span<const PauliTerm> terms, StateVector& out) {
  VANTREL_TRY(validate_observable(terms, state.num_qubits()));
  if (out.num_qubits() != state.num_qubits() || out.data() == nullptr ||
      out.data() == state.data())
    return internal("observable applied into a state of another width or into its input");
  const Complex* psi = state.data();
  Complex* lambda = out.data();
  const std::size_t n = state.size();
  const std::size_t block = std::min(n, kBlock);
  const AddTermFn add_term = n < 8 ? &add_term_scalar : add_term_for(isa);
  StopCheck stop;
  for (std::size_t first = 0; first < terms.size(); first += kApplyTerms) {
    const std::size_t count = std::min(kApplyTerms, terms.size() - first);
    if (stop(n * count)) return interrupted();
    TermLanes lanes[kApplyTerms];
    for (std::size_t t = 0; t < count; ++t)
      lanes[t] = term_lanes(masks_of(terms[first + t]), terms[first + t].coefficient);
    parallel_for(n / block, kApplyGrainBlocks, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t base = lo * block; base < hi * block; base += block) {
        alignas(64) Complex acc[kBlock];
        for (std::size_t k = 0; k < block; ++k)
          acc[k] = first == 0 ? Complex{0.0f, 0.0f} : lambda[base + k];
        for (std::size_t t = 0; t < count; ++t) add_term(acc, psi, base, block, lanes[t]);
        for (std::size_t k = 0; k < block; ++k) lambda[base + k] = acc[k];
      }
    });
  }
  return Status::Ok();
}

}  // namespace detail

Status apply_observable(const StateVector& state, std::span<const PauliTerm> terms,
                        StateVector& out) {
  // The instruction set of the engine's kernels, chosen once.
  static const kernels::Isa isa = kernels::active_kernels().isa;
  return detail::apply_observable_isa(isa, state, terms, out);
}

}  // namespace vantrel::sim
