#include "sim/observable.h"

#include <algorithm>
#include <numeric>

namespace vantrel::sim {

Result<PauliTerm> PauliTerm::create(std::vector<PauliFactor> ops, float coefficient) {
  // The factor reported is the earliest one that has a later duplicate. A
  // stable sort of positions by qubit puts each group of equal qubits
  // together with its earliest position first; the smallest such first
  // position over groups of two or more is that factor. O(k log k), so long
  // factor lists cannot make construction quadratic.
  if (ops.size() >= 2) {
    std::vector<std::size_t> order(ops.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return ops[a].qubit < ops[b].qubit; });
    std::size_t earliest = ops.size();
    for (std::size_t g = 0; g + 1 < order.size();) {
      std::size_t end = g + 1;
      while (end < order.size() && ops[order[end]].qubit == ops[order[g]].qubit) ++end;
      if (end - g >= 2) earliest = std::min(earliest, order[g]);
      g = end;
    }
    if (earliest != ops.size()) return invalid("duplicate qubit index: " + dec(ops[earliest].qubit));
    std::sort(ops.begin(), ops.end(),
              [](const PauliFactor& a, const PauliFactor& b) { return a.qubit < b.qubit; });
  }
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

namespace {

// One term's sum over i ascending of Re(conj(psi[i]) * phi_i * psi[j_i]).
//
// The factors reduce to masks: j = i ^ x_mask (X and Y flip their bit) and
// phi_i = (-i)^ny * (-1)^popcount(i & z_mask) (Z and Y on a set bit negate;
// Y contributes -i on a clear bit and +i on a set bit, that is -i times the
// sign). With phi in {1, -i, -1, i} the product phi * psi[j] only permutes
// and negates components, exactly, and Re(conj(a) * y) = ar*yr + ai*yi,
// because conj negates ai exactly and x - (-p) is x + p. Writing b = psi[j]:
//   phi =  1: ar*br + ai*bi        phi = -1: -(ar*br + ai*bi)
//   phi =  i: ai*br - ar*bi        phi = -i: -(ai*br - ar*bi)
// Negating after rounding equals rounding the negated operands (rounding to
// nearest is symmetric), so each summand is bit for bit the value of the
// factor-by-factor product for finite amplitudes; at most the sign of a zero
// summand differs, which cannot change a running sum that starts at +0.
// Multiplying by +-1 is exact, the same as negating.
// No member initialisers: arrays of these are made per call and filled by
// masks_of, entry by entry.
struct TermMasks {
  std::uint64_t x_mask;
  std::uint64_t z_mask;
  bool imaginary;  // phi = +-i
  bool negate;     // (-i)^ny is -1 or -i
};

TermMasks masks_of(const PauliTerm& term) {
  TermMasks m{0, 0, false, false};
  unsigned ny = 0;
  for (const PauliFactor& f : term.ops) {
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

template <bool kImaginary>
inline float summand(Complex a, Complex b) {
  return kImaginary ? a.im * b.re - a.re * b.im : a.re * b.re + a.im * b.im;
}

constexpr std::size_t kBlock = 256;

// The sums of G terms of one kind (all real or all imaginary phases) in one
// pass. Each term keeps its own running sum in ascending index order;
// interleaving G independent sums only lets the processor overlap their
// additions, which a single sum would serialise. The sign of summand i is
// the parity of i & z_mask (xor negate): for states of at least one block,
// indices are walked in blocks of 256 whose low eight bits take their signs
// from a table made once per term, in two versions, the higher bits of the
// block choosing which one.
template <std::size_t G, bool kImaginary>
void group_sums(const Complex* psi, std::size_t n, const TermMasks* const* m, float* out) {
  float s[G];
  for (std::size_t g = 0; g < G; ++g) s[g] = 0.0f;
  if (n < kBlock) {
    for (std::size_t i = 0; i < n; ++i) {
      const Complex a = psi[i];
      for (std::size_t g = 0; g < G; ++g) {
        const float v = summand<kImaginary>(a, psi[i ^ m[g]->x_mask]);
        s[g] = s[g] + ((__builtin_parityll(i & m[g]->z_mask) != 0) != m[g]->negate ? -v : v);
      }
    }
  } else {
    float sign[G][2][kBlock];
    for (std::size_t g = 0; g < G; ++g)
      for (std::size_t k = 0; k < kBlock; ++k) {
        const bool neg = (__builtin_parityll(k & m[g]->z_mask) != 0) != m[g]->negate;
        sign[g][0][k] = neg ? -1.0f : 1.0f;
        sign[g][1][k] = neg ? 1.0f : -1.0f;
      }
    for (std::size_t base = 0; base < n; base += kBlock) {
      const Complex* a_row = psi + base;
      const Complex* b_row[G];
      const float* sg[G];
      std::size_t low_x[G];
      for (std::size_t g = 0; g < G; ++g) {
        b_row[g] = psi + (base ^ (m[g]->x_mask & ~std::uint64_t{kBlock - 1}));
        low_x[g] = m[g]->x_mask & (kBlock - 1);
        sg[g] = sign[g][__builtin_parityll(base & m[g]->z_mask)];
      }
      for (std::size_t k = 0; k < kBlock; ++k) {
        const Complex a = a_row[k];
        for (std::size_t g = 0; g < G; ++g)
          s[g] = s[g] + summand<kImaginary>(a, b_row[g][k ^ low_x[g]]) * sg[g][k];
      }
    }
  }
  for (std::size_t g = 0; g < G; ++g) out[g] = s[g];
}

template <bool kImaginary>
void sums_of_kind(const Complex* psi, std::size_t n, const TermMasks* const* m, std::size_t count,
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

// Terms whose sums are held at once (on the stack).
constexpr std::size_t kChunk = 64;

}  // namespace

// Terms are evaluated a chunk at a time, those of one phase kind together
// in groups, in any order: each sum depends on its term alone. The totals
// are then added in list order.
Result<float> expectation(const StateVector& state, std::span<const PauliTerm> terms) {
  VANTREL_TRY(validate_observable(terms, state.num_qubits()));
  const Complex* psi = state.data();
  const std::size_t n = state.size();
  float total = 0.0f;
  for (std::size_t first = 0; first < terms.size(); first += kChunk) {
    const std::size_t count = std::min(kChunk, terms.size() - first);
    TermMasks masks[kChunk];
    float sums[kChunk];
    const TermMasks* of_kind[2][kChunk];
    float* out[2][kChunk];
    std::size_t counts[2] = {0, 0};
    for (std::size_t t = 0; t < count; ++t) {
      masks[t] = masks_of(terms[first + t]);
      const int kind = masks[t].imaginary ? 1 : 0;
      of_kind[kind][counts[kind]] = &masks[t];
      out[kind][counts[kind]++] = &sums[t];
    }
    sums_of_kind<false>(psi, n, of_kind[0], counts[0], out[0]);
    sums_of_kind<true>(psi, n, of_kind[1], counts[1], out[1]);
    for (std::size_t t = 0; t < count; ++t) total = total + sums[t] * terms[first + t].coefficient;
  }
  return total;
}

}  // namespace vantrel::sim
