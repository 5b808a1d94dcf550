#include "sim/kernels/matrix.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "sim/kernels/reference.h"
#include "sim/testing/amps.h"
#include "sim/base/pool.h"

namespace vantrel::sim {
namespace {

using namespace testing;
using kernels::KernelTable;

template <class Exec>
class MatrixKernel : public ::testing::Test {};
using Executors = ::testing::Types<PoolExecutor, SequentialExecutor>;
TYPED_TEST_SUITE(MatrixKernel, Executors);

// Applies m through the kernel of every table and compares with the
// reference (computed once).
template <class Exec>
::testing::AssertionResult matches_reference(std::span<const KernelTable* const> isas, const Amps& start,
                                             const std::vector<std::uint64_t>& targets, const Amps& m) {
  Amps want = start;
  reference::apply_matrix(want, targets, m);
  for (const KernelTable* isa : isas) {
    Amps state = start;
    if (!kernels::apply_matrix<Exec>(state, targets, m, *isa).ok())
      return ::testing::AssertionFailure() << isa->name << ": kernel failed";
    if (!same_bits(state, want))
      return ::testing::AssertionFailure() << isa->name << ": first difference at "
                                           << first_difference(state, want);
  }
  return ::testing::AssertionSuccess();
}

TYPED_TEST(MatrixKernel, GeneralKernelMatchesReference) {
  std::mt19937 rng(11);
  for (std::size_t n = 1; n <= 10; ++n) {
    for (std::size_t k = 1; k <= std::min<std::size_t>(4, n); ++k) {
      for (int rep = 0; rep < 3; ++rep) {
        const std::size_t d = std::size_t{1} << k;
        std::vector<std::vector<std::uint64_t>> orders = {random_targets(n, k, rng)};
        std::vector<std::uint64_t> descending(k), ascending(k);
        for (std::size_t t = 0; t < k; ++t) descending[t] = n - 1 - t, ascending[t] = t;
        orders.push_back(descending);
        orders.push_back(ascending);
        for (const auto& targets : orders) {
          std::vector<Amps> matrices = {random_matrix(d, rng, static_cast<unsigned>(rep) * 3)};
          for (std::size_t c = 1; c <= std::min<std::size_t>(3, k - 1); ++c) {
            const std::size_t bd = d >> c;
            matrices.push_back(controlled(c, random_matrix(bd, rng, 1), bd));
          }
          for (const Amps& m : matrices)
            ASSERT_TRUE(matches_reference<TypeParam>(tables(), random_state(n, rng), targets, m))
                << "n=" << n << " k=" << k;
        }
      }
    }
  }
}

TYPED_TEST(MatrixKernel, ControlledOneQubitGatesMatchReference) {
  // Target 0 (adjacent pairs), a control on qubit 0, short and long runs.
  const std::vector<std::vector<std::uint64_t>> cases = {{1, 0}, {2, 3, 0}, {0, 1}, {3, 1}, {5, 4},
                                                         {0, 6, 2}, {6, 5, 4, 3}, {2}, {12, 0},
                                                         {1, 14, 9}, {15, 7}, {4, 13, 15}};
  std::mt19937 rng(12);
  for (const auto& targets : cases) {
    const std::size_t k = targets.size();
    for (int rep = 0; rep < 3; ++rep) {
      const Amps m = controlled(k - 1, random_matrix(2, rng, static_cast<unsigned>(rep) * 2), 2);
      for (std::size_t n : {7u, 16u}) {
        if (*std::max_element(targets.begin(), targets.end()) >= n) continue;
        ASSERT_TRUE(matches_reference<TypeParam>(tables(), random_state(n, rng), targets, m))
            << "targets " << targets[0] << " n=" << n;
      }
    }
  }
}

TYPED_TEST(MatrixKernel, LargeGroupsAndManyPieces) {
  struct Case {
    std::size_t n, k;
  };
  // Few large groups (rows spread over the pool), a group holding the whole
  // register, and a state cut into many pieces.
  {
    std::mt19937 rng(3);
    for (Case c : {Case{8, 7}, Case{12, 10}, Case{9, 9}, Case{14, 2}, Case{16, 2}, Case{16, 3}}) {
      const std::size_t d = std::size_t{1} << c.k;
      const auto targets = random_targets(c.n, c.k, rng);
      for (const Amps& m : {random_matrix(d, rng, 2), controlled(1, random_matrix(d / 2, rng, 0), d / 2)})
        ASSERT_TRUE(matches_reference<TypeParam>(tables(), random_state(c.n, rng), targets, m))
            << "n=" << c.n << " k=" << c.k;
    }
  }
}

// Two-qubit matrices whose entries are 0, +-1, +-i or real: the kernels
// take shortcuts on them that must not change a bit.
std::vector<Amps> structured_two_qubit_matrices(std::mt19937& rng) {
  const Complex o{0, 0}, l{1, 0}, m{-1, 0}, i{0, 1}, ni{0, -1}, mz{-0.0f, -0.0f};
  const float h = 0.5f;
  std::vector<Amps> ms = {
      {l, o, o, o, o, o, l, o, o, l, o, o, o, o, o, l},          // swap
      {l, o, o, o, o, o, i, o, o, i, o, o, o, o, o, l},          // iswap
      {l, mz, o, o, o, l, o, o, o, o, l, o, o, o, o, m},         // controlled Z, a -0 entry
      {o, o, o, l, o, o, l, o, o, l, o, o, l, o, o, o},          // X on both
      {o, m, o, o, ni, o, o, o, o, o, o, l, o, o, i, o},         // signed permutation
      {{h, 0}, {h, 0}, {h, 0}, {h, 0}, {h, 0}, {-h, 0}, {h, 0}, {-h, 0},
       {h, 0}, {h, 0}, {-h, 0}, {-h, 0}, {h, 0}, {-h, 0}, {-h, 0}, {h, 0}},  // real dense
  };
  Amps mixed = random_matrix(4, rng, 2);
  for (std::size_t e = 0; e < 16; e += 3) mixed[e] = (e % 2) ? Complex{0.0f, random_float(rng)}
                                                             : Complex{random_float(rng), -0.0f};
  ms.push_back(mixed);
  ms.push_back(random_matrix(4, rng, 0));
  return ms;
}

TYPED_TEST(MatrixKernel, TwoQubitGatesOnEveryLayoutMatchReference) {
  std::mt19937 rng(14);
  const std::vector<Amps> matrices = structured_two_qubit_matrices(rng);
  for (std::size_t n : {2u, 3u, 5u, 7u, 9u}) {
    for (std::uint64_t a = 0; a < n; ++a) {
      for (std::uint64_t b = 0; b < n; ++b) {
        if (a == b) continue;
        for (const Amps& m : matrices)
          ASSERT_TRUE(matches_reference<TypeParam>(tables(), random_state(n, rng), {a, b}, m))
              << "n=" << n << " targets " << a << "," << b;
      }
    }
  }
}

// Three-qubit matrices: controlled swap, a controlled-controlled X given as
// a plain matrix, a signed permutation, real and complex dense ones.
std::vector<Amps> structured_three_qubit_matrices(std::mt19937& rng) {
  const std::vector<Amps> two = structured_two_qubit_matrices(rng);
  const Amps x = {{0, 0}, {1, 0}, {1, 0}, {0, 0}};
  Amps signed_perm(64);
  for (std::size_t r = 0; r < 8; ++r) signed_perm[r * 8 + (r * 5 + 3) % 8] = r % 3 ? Complex{1, 0} : Complex{0, -1};
  Amps real = random_matrix(8, rng, 1);
  for (auto& c : real) c.im = 0.0f;
  return {controlled(1, two[0], 4), controlled(2, x, 2), signed_perm, real, random_matrix(8, rng, 0),
          random_matrix(8, rng, 3)};
}

// Layouts of three targets: all at qubit 2 or above, qubit 0 or 1 or both
// among them, in every order.
const std::vector<std::vector<std::uint64_t>> kThreeQubitLayouts = {
    {2, 3, 4}, {4, 3, 2}, {6, 2, 4}, {3, 7, 5}, {0, 1, 2}, {2, 1, 0}, {1, 5, 0},
    {0, 3, 6}, {4, 0, 2}, {1, 3, 4}, {7, 1, 2}, {0, 7, 1}, {5, 3, 8}, {8, 6, 4}};

// Controlled matrices kept apart from their controls give the bits of their
// full matrix through the dense kernel and of both reference loops: every
// layout of controls and targets on small registers (qubits 0 and 1 among
// either), structured and random blocks, every table (those without direct
// kernels take the gathering path), and registers cut into many pieces.
TYPED_TEST(MatrixKernel, ControlledMatricesMatchTheFullMatrixAndTheReference) {
  std::mt19937 rng(21);
  struct Case {
    std::size_t n, layouts;
  };
  auto check = [&](const Amps& start, const std::vector<std::uint64_t>& qubits, std::size_t c, const Amps& u,
                   std::size_t d) {
    const std::vector<std::uint64_t> controls(qubits.begin(), qubits.begin() + c);
    const std::vector<std::uint64_t> targets(qubits.begin() + c, qubits.end());
    Amps want = start;
    reference::apply_controlled_matrix(want, controls, targets, u);
    const Amps m = controlled(c, u, d);
    std::string where = "n=" + std::to_string(std::countr_zero(start.size())) + " qubits";
    for (std::uint64_t q : qubits) where += ' ' + std::to_string(q);
    if (start.size() <= 128) {
      Amps ref = start;
      reference::apply_matrix(ref, qubits, m);
      ASSERT_TRUE(same_bits(ref, want)) << where;
    }
    for (const KernelTable* isa : tables()) {
      Amps full = start, compact = start;
      ASSERT_TRUE((kernels::apply_matrix<TypeParam>(full, qubits, m, *isa).ok()));
      ASSERT_TRUE((kernels::apply_controlled_matrix<TypeParam>(compact, controls, targets, u, *isa).ok()));
      ASSERT_TRUE(same_bits(full, want)) << isa->name << " " << where << " full at " << first_difference(full, want);
      ASSERT_TRUE(same_bits(compact, want)) << isa->name << " " << where << " at " << first_difference(compact, want);
    }
  };
  for (Case cs : {Case{3, 12}, Case{4, 16}, Case{5, 16}, Case{7, 12}, Case{16, 2}}) {
    for (std::size_t c = 1; c <= 3; ++c) {
      for (std::size_t k = 1; k <= 3 && c + k <= cs.n; ++k) {
        const std::size_t d = std::size_t{1} << k;
        std::vector<Amps> blocks = {random_matrix(d, rng, 0), random_matrix(d, rng, 5)};
        if (k == 1) blocks = mat2_cases(rng);
        if (k == 2) blocks = structured_two_qubit_matrices(rng);
        if (k == 3) blocks = structured_three_qubit_matrices(rng);
        for (std::size_t layout = 0; layout < cs.layouts; ++layout) {
          const auto qubits = random_targets(cs.n, c + k, rng);
          const Amps& u = blocks[layout % blocks.size()];
          ASSERT_NO_FATAL_FAILURE(check(random_state(cs.n, rng), qubits, c, u, d));
        }
      }
    }
  }
  // Larger target matrices, with a control at qubit 0 or 1 folded into a
  // dense matrix (four targets) or not (seven), and rows spread over the
  // pool (ten).
  for (std::size_t k : {4u, 7u, 10u}) {
    const std::size_t n = 12, d = std::size_t{1} << k;
    auto qubits = random_targets(n, k + 2, rng);
    if (k < 10) std::swap(*std::find(qubits.begin(), qubits.end(), k == 4 ? 0u : 1u), qubits[1]);
    ASSERT_NO_FATAL_FAILURE(check(random_state(n, rng), qubits, 2, random_matrix(d, rng, 2), d));
  }
}

// Direct kernels straight from their plan, cut at random group boundaries;
// the same matrices through the kernel's entry point and through the
// gathering path (tables without direct kernels, forced here).
template <std::size_t D>
void check_direct_on_any_cut(const KernelTable& isa, const std::vector<std::uint64_t>& targets, const Amps& m,
                             std::size_t n, std::mt19937& rng) {
  kernels::DirectPlan<D> plan;
  kernels::prepare_direct(targets, m, &plan);
  Amps state = random_state(n, rng), want = state;
  reference::apply_matrix(want, targets, m);
  const std::size_t groups = state.size() / D;
  for (std::size_t lo = 0; lo < groups;) {
    const std::size_t hi = std::min(groups, lo + 1 + rng() % 7);
    if constexpr (D == 4) isa.direct4(state.data(), plan, lo, hi);
    else isa.direct8(state.data(), plan, lo, hi);
    lo = hi;
  }
  ASSERT_TRUE(same_bits(state, want)) << isa.name << " n=" << n << " targets " << targets[0] << ","
                                      << targets[1];
}

TEST(MatrixKernel, DirectKernelsMatchReferenceOnAnyCut) {
  for (const KernelTable* isa : tables()) {
    if (!isa->direct4) continue;
    std::mt19937 rng(15);
    const std::vector<Amps> two = structured_two_qubit_matrices(rng);
    for (std::size_t n : {4u, 6u, 9u})
      for (std::uint64_t a = 0; a < n; ++a)
        for (std::uint64_t b = 0; b < n; ++b)
          if (a != b)
            for (const Amps& m : two) check_direct_on_any_cut<4>(*isa, {a, b}, m, n, rng);
    const std::vector<Amps> three = structured_three_qubit_matrices(rng);
    for (const auto& targets : kThreeQubitLayouts)
      for (const Amps& m : three) check_direct_on_any_cut<8>(*isa, targets, m, 9, rng);
  }
}

TYPED_TEST(MatrixKernel, ThreeQubitGatesMatchReference) {
  std::mt19937 rng(17);
  const std::vector<Amps> three = structured_three_qubit_matrices(rng);
  for (const auto& targets : kThreeQubitLayouts)
    for (const Amps& m : three)
      ASSERT_TRUE(matches_reference<TypeParam>(tables(), random_state(9, rng), targets, m))
          << targets[0] << "," << targets[1] << "," << targets[2];
  for (int rep = 0; rep < 12; ++rep) {
    const std::size_t n = 3 + rep % 6;
    const auto targets = random_targets(n, 3, rng);
    for (const Amps& m : three)
      ASSERT_TRUE(matches_reference<TypeParam>(tables(), random_state(n, rng), targets, m)) << "n=" << n;
  }
}

TEST(MatrixKernel, GatheringPathMatchesReferenceOnEveryLayout) {
  // The path of tables without direct kernels, whatever this processor has:
  // the plan applied to all groups at once, so that no controlled shortcut
  // takes the matrix first.
  for (const KernelTable* isa : tables()) {
    if (isa->direct4) continue;
    std::mt19937 rng(16);
    const std::vector<Amps> two = structured_two_qubit_matrices(rng);
    const std::vector<Amps> three = structured_three_qubit_matrices(rng);
    auto check = [&](std::size_t n, const std::vector<std::uint64_t>& targets, const Amps& m) {
      kernels::MatrixPlan plan;
      ASSERT_TRUE(plan.prepare(targets, m, *isa).ok());
      Amps state = random_state(n, rng), want = state;
      reference::apply_matrix(want, targets, m);
      alignas(16) Complex scratch[kernels::kStackGroup];
      plan.apply_groups(state.data(), 0, state.size() >> targets.size(), scratch);
      ASSERT_TRUE(same_bits(state, want)) << isa->name << " n=" << n << " k=" << targets.size();
    };
    for (std::size_t n : {2u, 5u, 7u})
      for (std::uint64_t a = 0; a < n; ++a)
        for (std::uint64_t b = 0; b < n; ++b)
          if (a != b)
            for (const Amps& m : two) check(n, {a, b}, m);
    for (const auto& targets : kThreeQubitLayouts)
      for (const Amps& m : three) check(9, targets, m);
  }
}

TEST(MatrixKernel, EveryControlledPairsVariantMatchesScalarOnAnyCut) {
  std::mt19937 rng(6);
  for (const KernelTable* isa : tables()) {
    for (std::size_t n = 1; n <= 8; ++n) {
      for (unsigned t = 0; t < n; ++t) {
        for (std::uint32_t low : {0u, 1u, 2u, 3u, 5u, 12u, 31u}) {
          if (low >> (n - 1)) continue;  // controls are pair bits of the register
          const Amps m = random_matrix(2, rng, 2);
          Amps state = random_state(n, rng), want = state;
          kernels::controlled_pairs_scalar(want.data(), t, m.data(), low, 0, want.size() / 2);
          const std::size_t pairs = state.size() / 2;
          for (std::size_t lo = 0; lo < pairs;) {
            const std::size_t hi = std::min(pairs, lo + 1 + rng() % 11);
            isa->controlled_pairs(state.data(), t, m.data(), low, lo, hi);
            lo = hi;
          }
          ASSERT_TRUE(same_bits(state, want)) << isa->name << " n=" << n << " t=" << t << " low=" << low;
        }
      }
    }
  }
}

TEST(MatrixKernel, EveryRowSumVariantMatchesScalar) {
  std::mt19937 rng(13);
  const std::size_t width = 64;
  for (const KernelTable* isa : tables()) {
    for (std::size_t c = 1; c <= width; c += (c < 40 ? 1 : 7)) {
      const std::size_t count = 1 + rng() % 8;
      const Amps vals = random_matrix(3, rng, 1);  // 9 entries
      std::vector<std::uint32_t> cols(count);
      for (auto& col : cols) col = rng() % 4;
      const Amps scratch = random_state(8, rng);  // 4 x 64
      Amps got(c), want(c);
      isa->row_sums(vals.data(), cols.data(), count, scratch.data(), width, c, got.data());
      kernels::row_sums_scalar(vals.data(), cols.data(), count, scratch.data(), width, 0, c, want.data());
      ASSERT_TRUE(same_bits(got, want)) << isa->name << " " << c;
    }
  }
}

TEST(MatrixKernel, ControlledRowsTurnNegativeZeroPositiveLikeTheReference) {
  const Amps cx = {{1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0},
                   {0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}};
  for (const KernelTable* isa : tables()) {
    Amps state = {{-0.0f, -0.0f}, {-0.0f, 0.5f}, {0.5f, -0.0f}, {-0.0f, -0.0f}};
    Amps want = state;
    const std::vector<std::uint64_t> targets = {0, 1};
    reference::apply_matrix(want, targets, cx);
    ASSERT_TRUE(kernels::apply_matrix<SequentialExecutor>(state, targets, cx, *isa).ok());
    EXPECT_TRUE(same_bits(state, want)) << isa->name;
    EXPECT_FALSE(std::signbit(state[0].re));  // 0 + 1*(-0) is +0
    EXPECT_FALSE(std::signbit(state[2].im));
  }
}

TEST(MatrixKernel, KernelsInsideParallelRows) {
  std::mt19937 rng(9);
  const Amps m = random_matrix(2, rng, 0), m4 = random_matrix(4, rng, 0);
  std::vector<Amps> states, wants;
  for (int r = 0; r < 6; ++r) {
    states.push_back(random_state(15, rng));
    wants.push_back(states.back());
    reference::apply_mat2(wants.back(), 3, m.data());
    reference::apply_matrix(wants.back(), std::vector<std::uint64_t>{14, 2}, m4);
  }
  parallel_for(states.size(), 1, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t r = lo; r < hi; ++r) {
      kernels::apply_mat2<PoolExecutor>(states[r], 3, m.data());
      ASSERT_TRUE(
          (kernels::apply_matrix<PoolExecutor>(states[r], std::vector<std::uint64_t>{14, 2}, m4).ok()));
    }
  });
  for (std::size_t r = 0; r < states.size(); ++r) EXPECT_TRUE(same_bits(states[r], wants[r])) << r;
}

}  // namespace
}  // namespace vantrel::sim
