#include "sim/kernels/pauli.h"

#include <gtest/gtest.h>

#include <bit>
#include <vector>

#include "sim/testing/amps.h"

namespace vantrel::sim {
namespace {

using namespace testing;
using kernels::PauliMasks;

template <class T>
class PauliSweep : public ::testing::Test {};
TYPED_TEST_SUITE(PauliSweep, Precisions);

// A term's sum with its phase written out: (-i)^ny times (-1)^parity(i & z)
// as a complex number applied with cmul, then Re(conj(a) * (phase * b));
// running sums over segments of kSumSegment indices, added in double. Y is a
// bit set in both masks.
template <class T>
double literal_sum(const AmpsOf<T>& psi, const PauliMasks& m) {
  using C = ComplexOf<T>;
  C base{1, 0};  // (-i)^ny
  for (int y = std::popcount(m.x_mask & m.z_mask); y > 0; --y) base = cmul(base, C{0, -1});
  double total = 0.0;
  T s = 0;
  for (std::size_t i = 0; i < psi.size(); ++i) {
    const C phi = std::popcount(i & m.z_mask) & 1 ? C{-base.re, -base.im} : base;
    s = s + cmul(conj(psi[i]), cmul(phi, psi[i ^ m.x_mask])).re;
    if ((i + 1) % kernels::kSumSegment == 0) {
      total = total + static_cast<double>(s);
      s = 0;
    }
  }
  return total;
}

PauliMasks random_masks(std::size_t n, std::mt19937& rng, unsigned x_share) {
  PauliMasks m{0, 0, false, false};
  unsigned ny = 0;
  for (std::size_t q = 0; q < n; ++q) {
    const unsigned label = rng() % 8;  // X and Y at x_share/8 together, Z at 2/8
    const std::uint64_t bit = std::uint64_t{1} << q;
    if (label < x_share) {
      m.x_mask |= bit;
      if (label & 1) m.z_mask |= bit, ++ny;
    } else if (label < x_share + 2) {
      m.z_mask |= bit;
    }
  }
  m.imaginary = ny & 1;
  m.negate = (ny & 3) == 1 || (ny & 3) == 2;
  return m;
}

// Every table's sums are the literal sums bit for bit: observables
// of up to kSweepTerms terms mixing real and imaginary phases, partners in
// the same vector and far away, diagonal terms below and above the count
// that gives them groups of their own, one-hot masks (a Hamiltonian's X_i).
TYPED_TEST(PauliSweep, EveryTableGivesTheLiteralRunningSums) {
  using T = TypeParam;
  std::mt19937 rng(21);
  for (std::size_t n : {8u, 9u, 10u, 12u}) {
    const AmpsOf<T> psi = random_state<T>(n, rng);
    for (int rep = 0; rep < 6; ++rep) {
      std::vector<PauliMasks> terms;
      const std::size_t count = rep == 0 ? 1 : rep == 1 ? kernels::kSweepTerms : 1 + rng() % 40;
      for (std::size_t t = 0; t < count; ++t) {
        switch ((rep + t) % 4) {
          case 0: terms.push_back(random_masks(n, rng, 0)); break;  // diagonal
          case 1: terms.push_back({std::uint64_t{1} << (t % n), 0, false, false}); break;
          default: terms.push_back(random_masks(n, rng, 4)); break;
        }
      }
      if (rep == 2) terms.resize(std::min<std::size_t>(terms.size(), 3));
      const kernels::PauliSweep sweep{terms.data(), terms.size()};
      std::vector<double> want(terms.size());
      for (std::size_t t = 0; t < terms.size(); ++t) want[t] = literal_sum(psi, terms[t]);
      for (const kernels::KernelTableOf<T>* isa : tables<T>()) {
        std::vector<double> got(terms.size(), 1.0);
        isa->pauli_sweep(psi.data(), psi.size(), sweep, got.data());
        for (std::size_t t = 0; t < terms.size(); ++t)
          ASSERT_EQ(std::bit_cast<std::uint64_t>(got[t]), std::bit_cast<std::uint64_t>(want[t]))
              << isa->name << " n=" << n << " rep=" << rep << " term " << t << " x=" << terms[t].x_mask
              << " z=" << terms[t].z_mask;
      }
    }
  }
}

}  // namespace
}  // namespace vantrel::sim
