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
template <bool kImaginary>
float term_sum(const Complex* psi, std::size_t n, std::uint64_t x_mask, std::uint64_t z_mask,
               bool negate) {
  // The sign of summand i is the parity of i & z_mask (xor negate). Indices
  // are walked in blocks of up to 256: the low eight bits' signs come from a
  // table made once per term and the higher bits flip a whole block at once,
  // so the loop carries no per-index bit counting. Multiplying by +-1 is
  // exact, the same as negating.
  constexpr std::size_t kBlock = 256;
  float s = 0.0f;
  if (n < kBlock) {  // small states: no table to amortise
    for (std::size_t i = 0; i < n; ++i) {
      const Complex a = psi[i];
      const Complex b = psi[i ^ x_mask];
      const float v = kImaginary ? a.im * b.re - a.re * b.im : a.re * b.re + a.im * b.im;
      s = s + ((__builtin_parityll(i & z_mask) != 0) != negate ? -v : v);
    }
    return s;
  }
  const std::size_t block = kBlock;
  float sign[kBlock];
  for (std::size_t k = 0; k < block; ++k)
    sign[k] = (__builtin_parityll(k & z_mask) != 0) != negate ? -1.0f : 1.0f;
  for (std::size_t base = 0; base < n; base += block) {
    const float flip = __builtin_parityll(base & z_mask) ? -1.0f : 1.0f;
    const Complex* a_row = psi + base;
    const Complex* b_row = psi + (base ^ (x_mask & ~std::uint64_t{kBlock - 1}));
    const std::size_t low_x = x_mask & (kBlock - 1);
    for (std::size_t k = 0; k < block; ++k) {
      const Complex a = a_row[k];
      const Complex b = b_row[k ^ low_x];
      const float v = kImaginary ? a.im * b.re - a.re * b.im : a.re * b.re + a.im * b.im;
      s = s + v * (sign[k] * flip);
    }
  }
  return s;
}

}  // namespace

Result<float> expectation(const StateVector& state, std::span<const PauliTerm> terms) {
  VANTREL_TRY(validate_observable(terms, state.num_qubits()));
  const Complex* psi = state.data();
  const std::size_t n = state.size();
  float total = 0.0f;
  for (const PauliTerm& term : terms) {
    std::uint64_t x_mask = 0;
    std::uint64_t z_mask = 0;
    unsigned ny = 0;
    for (const PauliFactor& f : term.ops) {
      const std::uint64_t bit = std::uint64_t{1} << f.qubit;
      switch (f.label) {
        case PauliLabel::kX: x_mask |= bit; break;
        case PauliLabel::kY: x_mask |= bit; z_mask |= bit; ++ny; break;
        case PauliLabel::kZ: z_mask |= bit; break;
      }
    }
    // (-i)^ny: 1, -i, -1, i for ny = 0, 1, 2, 3 (mod 4).
    const bool imaginary = (ny & 1) != 0;
    const bool negate = (ny & 3) == 1 || (ny & 3) == 2;
    // With phi = +-i the summand is +-(ai*br - ar*bi); -i is the negated one.
    const float s = imaginary ? term_sum<true>(psi, n, x_mask, z_mask, negate)
                              : term_sum<false>(psi, n, x_mask, z_mask, negate);
    total = total + s * term.coefficient;
  }
  return total;
}

}  // namespace vantrel::sim
