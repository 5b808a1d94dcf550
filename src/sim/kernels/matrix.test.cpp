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
using kernels::KernelTableOf;

template <class P>
class MatrixKernel : public ::testing::Test {};
using Cases = ExecutorsAtPrecisions<PoolExecutor, SequentialExecutor>;
TYPED_TEST_SUITE(MatrixKernel, Cases);

template <class T>
class MatrixTables : public ::testing::Test {};
TYPED_TEST_SUITE(MatrixTables, Precisions);

// Applies m through the kernel of every table and compares with the
// reference (computed once).
template <class Exec, class T>
::testing::AssertionResult matches_reference(std::span<const KernelTableOf<T>* const> isas, const AmpsOf<T>& start,
                                             const std::vector<std::uint64_t>& targets, const AmpsOf<T>& m) {
  AmpsOf<T> want = start;
  reference::apply_matrix(want, targets, m);
  for (const KernelTableOf<T>* isa : isas) {
    AmpsOf<T> state = start;
    if (!kernels::apply_matrix<Exec>(state, targets, m, *isa).ok())
      return ::testing::AssertionFailure() << isa->name << ": kernel failed";
    if (!same_bits(state, want))
      return ::testing::AssertionFailure() << isa->name << ": first difference at "
                                           << first_difference(state, want);
  }
  return ::testing::AssertionSuccess();
}

TYPED_TEST(MatrixKernel, GeneralKernelMatchesReference) {
  using Exec = typename TypeParam::Exec;
  using T = typename TypeParam::Scalar;
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
          std::vector<AmpsOf<T>> matrices = {random_matrix<T>(d, rng, static_cast<unsigned>(rep) * 3)};
          for (std::size_t c = 1; c <= std::min<std::size_t>(3, k - 1); ++c) {
            const std::size_t bd = d >> c;
            matrices.push_back(controlled<T>(c, random_matrix<T>(bd, rng, 1), bd));
          }
          for (const AmpsOf<T>& m : matrices)
            ASSERT_TRUE((matches_reference<Exec, T>(tables<T>(), random_state<T>(n, rng), targets, m)))
                << "n=" << n << " k=" << k;
        }
      }
    }
  }
}

TYPED_TEST(MatrixKernel, ControlledOneQubitGatesMatchReference) {
  using Exec = typename TypeParam::Exec;
  using T = typename TypeParam::Scalar;
  // Target 0 (adjacent pairs), a control on qubit 0, short and long runs.
  const std::vector<std::vector<std::uint64_t>> cases = {{1, 0}, {2, 3, 0}, {0, 1}, {3, 1}, {5, 4},
                                                         {0, 6, 2}, {6, 5, 4, 3}, {2}, {12, 0},
                                                         {1, 14, 9}, {15, 7}, {4, 13, 15}};
  std::mt19937 rng(12);
  for (const auto& targets : cases) {
    const std::size_t k = targets.size();
    for (int rep = 0; rep < 3; ++rep) {
      const AmpsOf<T> m = controlled<T>(k - 1, random_matrix<T>(2, rng, static_cast<unsigned>(rep) * 2), 2);
      for (std::size_t n : {7u, 16u}) {
        if (*std::max_element(targets.begin(), targets.end()) >= n) continue;
        ASSERT_TRUE((matches_reference<Exec, T>(tables<T>(), random_state<T>(n, rng), targets, m)))
            << "targets " << targets[0] << " n=" << n;
      }
    }
  }
}

TYPED_TEST(MatrixKernel, LargeGroupsAndManyPieces) {
  using Exec = typename TypeParam::Exec;
  using T = typename TypeParam::Scalar;
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
      for (const AmpsOf<T>& m : {random_matrix<T>(d, rng, 2), controlled<T>(1, random_matrix<T>(d / 2, rng, 0), d / 2)})
        ASSERT_TRUE((matches_reference<Exec, T>(tables<T>(), random_state<T>(c.n, rng), targets, m)))
            << "n=" << c.n << " k=" << c.k;
    }
  }
}

// Two-qubit matrices whose entries are 0, +-1, +-i or real: the kernels
// take shortcuts on them that must not change a bit.
template <class T>
std::vector<AmpsOf<T>> structured_two_qubit_matrices(std::mt19937& rng) {
  using C = ComplexOf<T>;
  const C o{0, 0}, l{1, 0}, m{-1, 0}, i{0, 1}, ni{0, -1}, mz{-T(0), -T(0)};
  const T h = T(0.5);
  std::vector<AmpsOf<T>> ms = {
      {l, o, o, o, o, o, l, o, o, l, o, o, o, o, o, l},          // swap
      {l, o, o, o, o, o, i, o, o, i, o, o, o, o, o, l},          // iswap
      {l, mz, o, o, o, l, o, o, o, o, l, o, o, o, o, m},         // controlled Z, a -0 entry
      {o, o, o, l, o, o, l, o, o, l, o, o, l, o, o, o},          // X on both
      {o, m, o, o, ni, o, o, o, o, o, o, l, o, o, i, o},         // signed permutation
      {{h, 0}, {h, 0}, {h, 0}, {h, 0}, {h, 0}, {-h, 0}, {h, 0}, {-h, 0},
       {h, 0}, {h, 0}, {-h, 0}, {-h, 0}, {h, 0}, {-h, 0}, {-h, 0}, {h, 0}},  // real dense
  };
  AmpsOf<T> mixed = random_matrix<T>(4, rng, 2);
  for (std::size_t e = 0; e < 16; e += 3) mixed[e] = (e % 2) ? C{T(0), random_float<T>(rng)}
                                                             : C{random_float<T>(rng), -T(0)};
  ms.push_back(mixed);
  ms.push_back(random_matrix<T>(4, rng, 0));
  return ms;
}

TYPED_TEST(MatrixKernel, TwoQubitGatesOnEveryLayoutMatchReference) {
  using Exec = typename TypeParam::Exec;
  using T = typename TypeParam::Scalar;
  std::mt19937 rng(14);
  const std::vector<AmpsOf<T>> matrices = structured_two_qubit_matrices<T>(rng);
  for (std::size_t n : {2u, 3u, 5u, 7u, 9u}) {
    for (std::uint64_t a = 0; a < n; ++a) {
      for (std::uint64_t b = 0; b < n; ++b) {
        if (a == b) continue;
        for (const AmpsOf<T>& m : matrices)
          ASSERT_TRUE((matches_reference<Exec, T>(tables<T>(), random_state<T>(n, rng), {a, b}, m)))
              << "n=" << n << " targets " << a << "," << b;
      }
    }
  }
}

// Three-qubit matrices: controlled swap, a controlled-controlled X given as
// a plain matrix, a signed permutation, real and complex dense ones.
template <class T>
std::vector<AmpsOf<T>> structured_three_qubit_matrices(std::mt19937& rng) {
  using C = ComplexOf<T>;
  const std::vector<AmpsOf<T>> two = structured_two_qubit_matrices<T>(rng);
  const AmpsOf<T> x = {{0, 0}, {1, 0}, {1, 0}, {0, 0}};
  AmpsOf<T> signed_perm(64);
  for (std::size_t r = 0; r < 8; ++r) signed_perm[r * 8 + (r * 5 + 3) % 8] = r % 3 ? C{1, 0} : C{0, -1};
  AmpsOf<T> real = random_matrix<T>(8, rng, 1);
  for (auto& c : real) c.im = T(0);
  return {controlled<T>(1, two[0], 4), controlled<T>(2, x, 2), signed_perm, real, random_matrix<T>(8, rng, 0),
          random_matrix<T>(8, rng, 3)};
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
  using Exec = typename TypeParam::Exec;
  using T = typename TypeParam::Scalar;
  std::mt19937 rng(21);
  struct Case {
    std::size_t n, layouts;
  };
  auto check = [&](const AmpsOf<T>& start, const std::vector<std::uint64_t>& qubits, std::size_t c, const AmpsOf<T>& u,
                   std::size_t d) {
    const std::vector<std::uint64_t> controls(qubits.begin(), qubits.begin() + c);
    const std::vector<std::uint64_t> targets(qubits.begin() + c, qubits.end());
    AmpsOf<T> want = start;
    reference::apply_controlled_matrix(want, controls, targets, u);
    const AmpsOf<T> m = controlled<T>(c, u, d);
    std::string where = "n=" + std::to_string(std::countr_zero(start.size())) + " qubits";
    for (std::uint64_t q : qubits) where += ' ' + std::to_string(q);
    if (start.size() <= 128) {
      AmpsOf<T> ref = start;
      reference::apply_matrix(ref, qubits, m);
      ASSERT_TRUE(same_bits(ref, want)) << where;
    }
    for (const KernelTableOf<T>* isa : tables<T>()) {
      AmpsOf<T> full = start, compact = start;
      ASSERT_TRUE((kernels::apply_matrix<Exec>(full, qubits, m, *isa).ok()));
      ASSERT_TRUE((kernels::apply_controlled_matrix<Exec>(compact, controls, targets, u, *isa).ok()));
      ASSERT_TRUE(same_bits(full, want)) << isa->name << " " << where << " full at " << first_difference(full, want);
      ASSERT_TRUE(same_bits(compact, want)) << isa->name << " " << where << " at " << first_difference(compact, want);
    }
  };
  for (Case cs : {Case{3, 12}, Case{4, 16}, Case{5, 16}, Case{7, 12}, Case{16, 2}}) {
    for (std::size_t c = 1; c <= 3; ++c) {
      for (std::size_t k = 1; k <= 3 && c + k <= cs.n; ++k) {
        const std::size_t d = std::size_t{1} << k;
        std::vector<AmpsOf<T>> blocks = {random_matrix<T>(d, rng, 0), random_matrix<T>(d, rng, 5)};
        if (k == 1) blocks = mat2_cases<T>(rng);
        if (k == 2) blocks = structured_two_qubit_matrices<T>(rng);
        if (k == 3) blocks = structured_three_qubit_matrices<T>(rng);
        for (std::size_t layout = 0; layout < cs.layouts; ++layout) {
          const auto qubits = random_targets(cs.n, c + k, rng);
          const AmpsOf<T>& u = blocks[layout % blocks.size()];
          ASSERT_NO_FATAL_FAILURE(check(random_state<T>(cs.n, rng), qubits, c, u, d));
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
    ASSERT_NO_FATAL_FAILURE(check(random_state<T>(n, rng), qubits, 2, random_matrix<T>(d, rng, 2), d));
  }
}

// Direct kernels straight from their plan, cut at random group boundaries;
// the same matrices through the kernel's entry point and through the
// gathering path (tables without direct kernels, forced here).
template <std::size_t D, class T>
void check_direct_on_any_cut(const KernelTableOf<T>& isa, const std::vector<std::uint64_t>& targets, const AmpsOf<T>& m,
                             std::size_t n, std::mt19937& rng) {
  kernels::DirectPlanOf<T, D> plan;
  kernels::prepare_direct(targets, m, &plan);
  AmpsOf<T> state = random_state<T>(n, rng), want = state;
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

TYPED_TEST(MatrixTables, DirectKernelsMatchReferenceOnAnyCut) {
  using T = TypeParam;
  for (const KernelTableOf<T>* isa : tables<T>()) {
    if (!isa->direct4) continue;
    std::mt19937 rng(15);
    const std::vector<AmpsOf<T>> two = structured_two_qubit_matrices<T>(rng);
    for (std::size_t n : {4u, 6u, 9u})
      for (std::uint64_t a = 0; a < n; ++a)
        for (std::uint64_t b = 0; b < n; ++b)
          if (a != b)
            for (const AmpsOf<T>& m : two) check_direct_on_any_cut<4>(*isa, {a, b}, m, n, rng);
    const std::vector<AmpsOf<T>> three = structured_three_qubit_matrices<T>(rng);
    for (const auto& targets : kThreeQubitLayouts)
      for (const AmpsOf<T>& m : three) check_direct_on_any_cut<8>(*isa, targets, m, 9, rng);
  }
}

TYPED_TEST(MatrixKernel, ThreeQubitGatesMatchReference) {
  using Exec = typename TypeParam::Exec;
  using T = typename TypeParam::Scalar;
  std::mt19937 rng(17);
  const std::vector<AmpsOf<T>> three = structured_three_qubit_matrices<T>(rng);
  for (const auto& targets : kThreeQubitLayouts)
    for (const AmpsOf<T>& m : three)
      ASSERT_TRUE((matches_reference<Exec, T>(tables<T>(), random_state<T>(9, rng), targets, m)))
          << targets[0] << "," << targets[1] << "," << targets[2];
  for (int rep = 0; rep < 12; ++rep) {
    const std::size_t n = 3 + rep % 6;
    const auto targets = random_targets(n, 3, rng);
    for (const AmpsOf<T>& m : three)
      ASSERT_TRUE((matches_reference<Exec, T>(tables<T>(), random_state<T>(n, rng), targets, m))) << "n=" << n;
  }
}

TYPED_TEST(MatrixTables, GatheringPathMatchesReferenceOnEveryLayout) {
  using T = TypeParam;
  // The path of tables without direct kernels, whatever this processor has:
  // the plan applied to all groups at once, so that no controlled shortcut
  // takes the matrix first.
  for (const KernelTableOf<T>* isa : tables<T>()) {
    if (isa->direct4) continue;
    std::mt19937 rng(16);
    const std::vector<AmpsOf<T>> two = structured_two_qubit_matrices<T>(rng);
    const std::vector<AmpsOf<T>> three = structured_three_qubit_matrices<T>(rng);
    auto check = [&](std::size_t n, const std::vector<std::uint64_t>& targets, const AmpsOf<T>& m) {
      kernels::MatrixPlanOf<T> plan;
      ASSERT_TRUE(plan.prepare(targets, m, *isa).ok());
      AmpsOf<T> state = random_state<T>(n, rng), want = state;
      reference::apply_matrix(want, targets, m);
      alignas(16) ComplexOf<T> scratch[kernels::kStackGroup];
      plan.apply_groups(state.data(), 0, state.size() >> targets.size(), scratch);
      ASSERT_TRUE(same_bits(state, want)) << isa->name << " n=" << n << " k=" << targets.size();
    };
    for (std::size_t n : {2u, 5u, 7u})
      for (std::uint64_t a = 0; a < n; ++a)
        for (std::uint64_t b = 0; b < n; ++b)
          if (a != b)
            for (const AmpsOf<T>& m : two) check(n, {a, b}, m);
    for (const auto& targets : kThreeQubitLayouts)
      for (const AmpsOf<T>& m : three) check(9, targets, m);
  }
}

TYPED_TEST(MatrixTables, EveryControlledPairsVariantMatchesScalarOnAnyCut) {
  using T = TypeParam;
  std::mt19937 rng(6);
  for (const KernelTableOf<T>* isa : tables<T>()) {
    for (std::size_t n = 1; n <= 8; ++n) {
      for (unsigned t = 0; t < n; ++t) {
        for (std::uint32_t low : {0u, 1u, 2u, 3u, 5u, 12u, 31u}) {
          if (low >> (n - 1)) continue;  // controls are pair bits of the register
          const AmpsOf<T> m = random_matrix<T>(2, rng, 2);
          AmpsOf<T> state = random_state<T>(n, rng), want = state;
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

TYPED_TEST(MatrixTables, EveryRowSumVariantMatchesScalar) {
  using T = TypeParam;
  std::mt19937 rng(13);
  const std::size_t width = 64;
  for (const KernelTableOf<T>* isa : tables<T>()) {
    for (std::size_t c = 1; c <= width; c += (c < 40 ? 1 : 7)) {
      const std::size_t count = 1 + rng() % 8;
      const AmpsOf<T> vals = random_matrix<T>(3, rng, 1);  // 9 entries
      std::vector<std::uint32_t> cols(count);
      for (auto& col : cols) col = rng() % 4;
      const AmpsOf<T> scratch = random_state<T>(8, rng);  // 4 x 64
      AmpsOf<T> got(c), want(c);
      isa->row_sums(vals.data(), cols.data(), count, scratch.data(), width, c, got.data());
      kernels::row_sums_scalar(vals.data(), cols.data(), count, scratch.data(), width, 0, c, want.data());
      ASSERT_TRUE(same_bits(got, want)) << isa->name << " " << c;
    }
  }
}

TYPED_TEST(MatrixTables, ControlledRowsTurnNegativeZeroPositiveLikeTheReference) {
  using T = TypeParam;
  const AmpsOf<T> cx = {{1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0},
                   {0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}};
  for (const KernelTableOf<T>* isa : tables<T>()) {
    AmpsOf<T> state = {{-T(0), -T(0)}, {-T(0), T(0.5)}, {T(0.5), -T(0)}, {-T(0), -T(0)}};
    AmpsOf<T> want = state;
    const std::vector<std::uint64_t> targets = {0, 1};
    reference::apply_matrix(want, targets, cx);
    ASSERT_TRUE(kernels::apply_matrix<SequentialExecutor>(state, targets, cx, *isa).ok());
    EXPECT_TRUE(same_bits(state, want)) << isa->name;
    EXPECT_FALSE(std::signbit(state[0].re));  // 0 + 1*(-0) is +0
    EXPECT_FALSE(std::signbit(state[2].im));
  }
}

TYPED_TEST(MatrixTables, KernelsInsideParallelRows) {
  using T = TypeParam;
  std::mt19937 rng(9);
  const AmpsOf<T> m = random_matrix<T>(2, rng, 0), m4 = random_matrix<T>(4, rng, 0);
  std::vector<AmpsOf<T>> states, wants;
  for (int r = 0; r < 6; ++r) {
    states.push_back(random_state<T>(15, rng));
    wants.push_back(states.back());
    reference::apply_mat2(wants.back(), 3, m.data());
    reference::apply_matrix(wants.back(), std::vector<std::uint64_t>{14, 2}, m4);
  }
  parallel_for(states.size(), 1, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t r = lo; r < hi; ++r) {
      kernels::apply_mat2<PoolExecutor, T>(states[r], 3, m.data());
      ASSERT_TRUE(
          (kernels::apply_matrix<PoolExecutor, T>(states[r], std::vector<std::uint64_t>{14, 2}, m4).ok()));
    }
  });
  for (std::size_t r = 0; r < states.size(); ++r) EXPECT_TRUE(same_bits(states[r], wants[r])) << r;
}

}  // namespace
}  // namespace vantrel::sim
