#include "sim/kernels/pauli_rotation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "sim/kernels/isa.h"
#include "sim/kernels/reference.h"
#include "sim/testing/amps.h"
#include "sim/base/pool.h"

namespace vantrel::sim::kernels {
namespace {

using sim::testing::Amps;
using sim::testing::AmpsOf;
using sim::testing::random_state;
using sim::testing::same_bits;

// Every assignment of I, X, Y, Z to `qubits` but the all-identity one.
std::vector<RotationMasks> every_string(const std::vector<unsigned>& qubits) {
  std::vector<RotationMasks> out;
  std::size_t combos = 1;
  for (std::size_t i = 0; i < qubits.size(); ++i) combos *= 4;
  for (std::size_t code = 1; code < combos; ++code) {
    RotationMasks m;
    std::size_t rest = code;
    for (unsigned q : qubits) {
      const unsigned label = rest % 4;  // 0 I, 1 X, 2 Y, 3 Z
      rest /= 4;
      const std::uint64_t bit = std::uint64_t{1} << q;
      if (label == 1 || label == 2) m.x |= bit;
      if (label == 2 || label == 3) m.z |= bit;
      if (label == 2) ++m.ny;
    }
    out.push_back(m);
  }
  return out;
}

// The variants this processor runs, of tables SSE2 and wider.
template <class T>
std::vector<const RotationKernelOf<T>*> variants() {
  std::vector<const RotationKernelOf<T>*> out;
  for (const KernelTableOf<T>* table : supported_kernel_tables_of<T>())
    if (table->isa != Isa::kScalar) out.push_back(table->rotation);
  return out;
}

template <class P>
class PauliRotationKernel : public ::testing::Test {};
using Cases = sim::testing::ExecutorsAtPrecisions<PoolExecutor, SequentialExecutor>;
TYPED_TEST_SUITE(PauliRotationKernel, Cases);

template <class T>
class PauliRotationCuts : public ::testing::Test {};
TYPED_TEST_SUITE(PauliRotationCuts, sim::testing::Precisions);

// Every label combination on the lowest, a middle and the highest qubit of
// 1-10 qubits, and on a register large enough to be cut into pieces, against
// the plain reference bit for bit.
TYPED_TEST(PauliRotationKernel, EveryStringMatchesReference) {
  using Exec = typename TypeParam::Exec;
  using T = typename TypeParam::Scalar;
  std::mt19937 rng(41);
  for (unsigned n : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 17u}) {
    std::vector<unsigned> qubits = {0};
    if (n > 2) qubits.push_back(n / 2);
    if (n > 1) qubits.push_back(n - 1);
    for (const RotationMasks& m : every_string(qubits)) {
      if (n == 17 && rng() % 4 != 0) continue;  // a sample of the strings suffices there
      const float angle = std::uniform_real_distribution<float>(-7.0f, 7.0f)(rng);
      float s = 0.0f, c = 0.0f;
      sincosf(angle * 0.5f, &s, &c);
      const AmpsOf<T> input = random_state<T>(n, rng);
      AmpsOf<T> want = input;
      reference::apply_pauli_rotation(want, m.x, m.z, m.ny, T(c), T(s));
      for (const RotationKernelOf<T>* k : variants<T>()) {
        if (input.size() < k->block) continue;
        AmpsOf<T> got = input;
        apply_pauli_rotation<Exec, T>(got, m, c, s, k);
        ASSERT_TRUE(same_bits(got, want))
            << k->name << " n=" << n << " x=" << m.x << " z=" << m.z;
      }
    }
  }
}

TYPED_TEST(PauliRotationCuts, EveryVariantOnAnyCutGivesTheSameBits) {
  using T = TypeParam;
  std::mt19937 rng(5);
  for (int trial = 0; trial < 200; ++trial) {
    const unsigned n = 1 + rng() % 9;
    RotationMasks m;
    while (m.x == 0 && m.z == 0) {
      m = RotationMasks{};
      for (unsigned q = 0; q < n; ++q) {
        const unsigned label = rng() % 4;
        if (label == 1 || label == 2) m.x |= std::uint64_t{1} << q;
        if (label == 2 || label == 3) m.z |= std::uint64_t{1} << q;
        m.ny += label == 2;
      }
    }
    const T c = std::cos(T(0.3f) * static_cast<T>(trial)), s = std::sin(T(0.3f) * static_cast<T>(trial));
    const AmpsOf<T> input = random_state<T>(n, rng);
    AmpsOf<T> want = input;
    reference::apply_pauli_rotation(want, m.x, m.z, m.ny, c, s);
    for (const RotationKernelOf<T>* k : variants<T>()) {
      if (input.size() < k->block) continue;
      AmpsOf<T> got = input;
      const std::size_t items = k->items(got.size(), m);
      for (std::size_t lo = 0; lo < items;) {
        const std::size_t hi = std::min(items, lo + 1 + rng() % 7);
        k->range(got.data(), m, c, s, lo, hi);
        lo = hi;
      }
      ASSERT_TRUE(same_bits(got, want)) << k->name << " " << trial;
    }
  }
}

// The reference itself against the textbook form cos I - i sin P, built
// factor by factor on a basis state: X|b> = |1-b>, Y|0> = i|1>,
// Y|1> = -i|0>, Z|b> = (-1)^b |b>.
TEST(PauliRotationKernel, ReferenceIsCosMinusISinTimesTheString) {
  const float c = 0.6f, s = 0.8f;
  for (const RotationMasks& m : every_string({0, 1, 2})) {
    for (std::size_t basis = 0; basis < 8; ++basis) {
      Amps a(8);
      a[basis] = {1.0f, 0.0f};
      reference::apply_pauli_rotation(a, m.x, m.z, m.ny, c, s);
      // P|basis> = phase |basis ^ x>; phase from each factor on its bit.
      Complex phase{1.0f, 0.0f};
      for (unsigned q = 0; q < 3; ++q) {
        const bool bit = (basis >> q) & 1;
        const bool flips = (m.x >> q) & 1, signs = (m.z >> q) & 1;
        if (flips && signs) phase = cmul(phase, bit ? Complex{0, -1} : Complex{0, 1});
        else if (signs && bit) phase = {-phase.re, -phase.im};
      }
      const std::size_t image = basis ^ m.x;
      Complex want_basis{c, 0.0f};
      Complex want_image = cmul(Complex{0.0f, -s}, phase);
      if (image == basis) want_basis = cadd(want_basis, want_image);
      for (std::size_t i = 0; i < 8; ++i) {
        const Complex want = i == basis ? want_basis : i == image ? want_image : Complex{0, 0};
        EXPECT_NEAR(a[i].re, want.re, 1e-6) << m.x << " " << m.z << " " << basis << " " << i;
        EXPECT_NEAR(a[i].im, want.im, 1e-6) << m.x << " " << m.z << " " << basis << " " << i;
      }
    }
  }
}

}  // namespace
}  // namespace vantrel::sim::kernels
