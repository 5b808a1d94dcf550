#include "sim/state_vector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "sim/kernels/mat2.h"
#include "sim/kernels/matrix.h"
#include "sim/kernels/reference.h"
#include "sim/operation.h"
#include "sim/pool.h"

namespace vantrel::sim {
namespace {

using Amps = std::vector<Complex>;

bool same_bits(const Amps& a, const Amps& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Complex)) == 0;
}

std::size_t first_difference(const Amps& a, const Amps& b) {
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::memcmp(&a[i], &b[i], sizeof(Complex)) != 0) return i;
  return a.size();
}

// Random finite values with every sign, a share of +0 and -0 and some
// subnormals: the values where a shortcut would first show.
float random_float(std::mt19937& rng) {
  const unsigned kind = rng() % 16;
  if (kind == 0) return 0.0f;
  if (kind == 1) return -0.0f;
  if (kind == 2) return (rng() & 1 ? -1.0f : 1.0f) * 1e-40f;
  return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
}

Amps random_state(std::size_t n, std::mt19937& rng) {
  Amps a(std::size_t{1} << n);
  for (auto& c : a) c = {random_float(rng), random_float(rng)};
  return a;
}

Amps random_matrix(std::size_t d, std::mt19937& rng, unsigned zero_share = 4) {
  Amps m(d * d);
  for (auto& c : m) c = (rng() % 8 < zero_share) ? Complex{random_float(rng) * 0.0f, -0.0f}
                                                 : Complex{random_float(rng), random_float(rng)};
  return m;
}

// Identity except the trailing block, as make_controlled_unitary_gate builds
// it, with an arbitrary block.
Amps controlled(std::size_t controls, const Amps& block, std::size_t bd) {
  const std::size_t d = bd << controls;
  Amps m(d * d);
  for (std::size_t r = 0; r < d; ++r) m[r * d + r] = {1.0f, 0.0f};
  for (std::size_t i = 0; i < bd; ++i)
    for (std::size_t j = 0; j < bd; ++j) m[(d - bd + i) * d + (d - bd + j)] = block[i * bd + j];
  return m;
}

std::vector<std::uint64_t> random_targets(std::size_t n, std::size_t k, std::mt19937& rng) {
  std::vector<std::uint64_t> all(n);
  std::iota(all.begin(), all.end(), 0);
  std::shuffle(all.begin(), all.end(), rng);
  all.resize(k);
  return all;
}

std::vector<Amps> mat2_cases(std::mt19937& rng) {
  const float h = 0.70710678f;
  std::vector<Amps> cases = {
      {{0, 0}, {1, 0}, {1, 0}, {0, 0}},                  // X
      {{h, 0}, {h, 0}, {h, 0}, {-h, 0}},                 // H
      {{1, 0}, {0, 0}, {0, 0}, {-1, 0}},                 // Z: diagonal
      {{1, 0}, {-0.0f, -0.0f}, {0, 0}, {0.6f, 0.8f}},    // diagonal with -0
      {{0, 0}, {0, -1}, {0, 1}, {0, 0}},                 // Y
  };
  for (int i = 0; i < 4; ++i) cases.push_back(random_matrix(2, rng, i));
  return cases;
}

template <class Exec>
class Kernels : public ::testing::Test {};
using Executors = ::testing::Types<PoolExecutor, SequentialExecutor>;
TYPED_TEST_SUITE(Kernels, Executors);

TYPED_TEST(Kernels, OneQubitKernelMatchesReference) {
  std::mt19937 rng(7);
  for (std::size_t n = 1; n <= 12; ++n) {
    for (std::size_t q = 0; q < n; ++q) {
      for (const Amps& m : mat2_cases(rng)) {
        Amps state = random_state(n, rng), want = state;
        reference::apply_mat2(want, q, m.data());
        kernels::apply_mat2<TypeParam>(state, q, m.data());
        ASSERT_TRUE(same_bits(state, want)) << "n=" << n << " q=" << q << " at "
                                            << first_difference(state, want);
      }
    }
  }
  // A state large enough to be cut into pieces.
  for (std::size_t q : {0u, 1u, 2u, 7u, 15u, 16u}) {
    Amps state = random_state(17, rng), want = state;
    const Amps m = random_matrix(2, rng, 0);
    reference::apply_mat2(want, q, m.data());
    kernels::apply_mat2<TypeParam>(state, q, m.data());
    ASSERT_TRUE(same_bits(state, want)) << "q=" << q;
  }
}

TYPED_TEST(Kernels, GeneralKernelMatchesReference) {
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
          for (const Amps& m : matrices) {
            Amps state = random_state(n, rng), want = state;
            reference::apply_matrix(want, targets, m);
            ASSERT_TRUE((kernels::apply_matrix<TypeParam>(state, targets, m).ok()));
            ASSERT_TRUE(same_bits(state, want))
                << "n=" << n << " k=" << k << " at " << first_difference(state, want);
          }
        }
      }
    }
  }
}

TYPED_TEST(Kernels, ControlledOneQubitGatesMatchReference) {
  std::mt19937 rng(12);
  // Target 0 (adjacent pairs), a control on qubit 0, short and long runs.
  const std::vector<std::vector<std::uint64_t>> cases = {{1, 0}, {2, 3, 0}, {0, 1}, {3, 1}, {5, 4},
                                                         {0, 6, 2}, {6, 5, 4, 3}, {2}, {12, 0},
                                                         {1, 14, 9}, {15, 7}, {4, 13, 15}};
  for (const auto& targets : cases) {
    const std::size_t k = targets.size();
    for (int rep = 0; rep < 3; ++rep) {
      const Amps m = controlled(k - 1, random_matrix(2, rng, static_cast<unsigned>(rep) * 2), 2);
      for (std::size_t n : {7u, 16u}) {
        if (*std::max_element(targets.begin(), targets.end()) >= n) continue;
        Amps state = random_state(n, rng), want = state;
        reference::apply_matrix(want, targets, m);
        ASSERT_TRUE((kernels::apply_matrix<TypeParam>(state, targets, m).ok()));
        ASSERT_TRUE(same_bits(state, want)) << "targets " << targets[0] << " n=" << n;
      }
    }
  }
}

TYPED_TEST(Kernels, GeneralKernelOnLargeGroupsAndManyPieces) {
  std::mt19937 rng(3);
  struct Case {
    std::size_t n, k;
  };
  // Few large groups (rows spread over the pool), a group holding the whole
  // register, and a state cut into many pieces.
  for (Case c : {Case{8, 7}, Case{12, 10}, Case{9, 9}, Case{14, 2}, Case{16, 2}, Case{16, 3}}) {
    const std::size_t d = std::size_t{1} << c.k;
    const auto targets = random_targets(c.n, c.k, rng);
    for (const Amps& m : {random_matrix(d, rng, 2), controlled(1, random_matrix(d / 2, rng, 0), d / 2)}) {
      Amps state = random_state(c.n, rng), want = state;
      reference::apply_matrix(want, targets, m);
      ASSERT_TRUE((kernels::apply_matrix<TypeParam>(state, targets, m).ok()));
      ASSERT_TRUE(same_bits(state, want)) << "n=" << c.n << " k=" << c.k;
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

TYPED_TEST(Kernels, TwoQubitGatesOnEveryLayoutMatchReference) {
  std::mt19937 rng(14);
  const std::vector<Amps> matrices = structured_two_qubit_matrices(rng);
  for (std::size_t n : {2u, 3u, 5u, 7u}) {
    for (std::uint64_t a = 0; a < n; ++a) {
      for (std::uint64_t b = 0; b < n; ++b) {
        if (a == b) continue;
        const std::vector<std::uint64_t> targets = {a, b};
        for (const Amps& m : matrices) {
          Amps state = random_state(n, rng), want = state;
          reference::apply_matrix(want, targets, m);
          ASSERT_TRUE((kernels::apply_matrix<TypeParam>(state, targets, m).ok()));
          ASSERT_TRUE(same_bits(state, want)) << "n=" << n << " targets " << a << "," << b << " at "
                                              << first_difference(state, want);
        }
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

// Controlled matrices kept apart from their controls give the bits of their
// full matrix through the dense kernel and of both reference loops: every
// layout of controls and targets on small registers (qubits 0 and 1 among
// either), structured and random blocks, the gathering path, and registers
// cut into many pieces.
TYPED_TEST(Kernels, ControlledMatricesMatchTheFullMatrixAndTheReference) {
  std::mt19937 rng(21);
  struct Case {
    std::size_t n, layouts;
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
          const std::vector<std::uint64_t> controls(qubits.begin(), qubits.begin() + c);
          const std::vector<std::uint64_t> targets(qubits.begin() + c, qubits.end());
          const Amps& u = blocks[layout % blocks.size()];
          const Amps start = random_state(cs.n, rng);
          Amps want = start, full = start, compact = start, gathered = start, ref = start;
          reference::apply_controlled_matrix(want, controls, targets, u);
          const Amps m = controlled(c, u, d);
          ASSERT_TRUE((kernels::apply_matrix<TypeParam>(full, qubits, m).ok()));
          ASSERT_TRUE((kernels::apply_controlled_matrix<TypeParam>(compact, controls, targets, u).ok()));
          ASSERT_TRUE(
              (kernels::apply_controlled_matrix<TypeParam>(gathered, controls, targets, u, false).ok()));
          std::string where = "n=" + std::to_string(cs.n) + " qubits";
          for (std::uint64_t q : qubits) where += ' ' + std::to_string(q);
          ASSERT_TRUE(same_bits(full, want)) << where << " full at " << first_difference(full, want);
          ASSERT_TRUE(same_bits(compact, want)) << where << " at " << first_difference(compact, want);
          ASSERT_TRUE(same_bits(gathered, want)) << where << " gathered at " << first_difference(gathered, want);
          if (cs.n <= 7) {
            reference::apply_matrix(ref, qubits, m);
            ASSERT_TRUE(same_bits(ref, want)) << where;
          }
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
    const std::vector<std::uint64_t> controls(qubits.begin(), qubits.begin() + 2);
    const std::vector<std::uint64_t> targets(qubits.begin() + 2, qubits.end());
    const Amps u = random_matrix(d, rng, 2);
    const Amps start = random_state(n, rng);
    Amps want = start, full = start, compact = start;
    reference::apply_controlled_matrix(want, controls, targets, u);
    ASSERT_TRUE((kernels::apply_matrix<TypeParam>(full, qubits, controlled(2, u, d)).ok()));
    ASSERT_TRUE((kernels::apply_controlled_matrix<TypeParam>(compact, controls, targets, u).ok()));
    EXPECT_TRUE(same_bits(full, want)) << k;
    EXPECT_TRUE(same_bits(compact, want)) << k;
  }
}

TEST(Kernels, DirectThreeQubitKernelMatchesReferenceOnAnyCut) {
  if (!kernels::cpu_has_avx2()) GTEST_SKIP() << "no AVX2";
  std::mt19937 rng(17);
  const std::vector<Amps> matrices = structured_three_qubit_matrices(rng);
  const std::vector<std::vector<std::uint64_t>> layouts = {{2, 3, 4}, {4, 3, 2}, {6, 2, 4}, {3, 7, 5},
                                                           {0, 1, 2}, {2, 1, 0}, {1, 5, 0}, {0, 3, 6},
                                                           {4, 0, 2}, {1, 3, 4}, {7, 1, 2}, {0, 7, 1}};
  for (const auto& targets : layouts) {
    for (const Amps& m : matrices) {
      kernels::Direct8 plan;
      kernels::prepare_direct(targets, m, &plan);
      Amps state = random_state(8, rng), want = state;
      reference::apply_matrix(want, targets, m);
      const std::size_t groups = state.size() / 8;
      for (std::size_t lo = 0; lo < groups;) {
        const std::size_t hi = std::min(groups, lo + 1 + rng() % 7);
        kernels::direct_groups_avx2(state.data(), plan, lo, hi);
        lo = hi;
      }
      ASSERT_TRUE(same_bits(state, want)) << targets[0] << "," << targets[1] << "," << targets[2];
      // The same through the kernel's entry point, and through the gathering path.
      Amps via_kernel = random_state(8, rng), via_gather = via_kernel, want2 = via_kernel;
      reference::apply_matrix(want2, targets, m);
      ASSERT_TRUE((kernels::apply_matrix<PoolExecutor>(via_kernel, targets, m).ok()));
      EXPECT_TRUE(same_bits(via_kernel, want2));
      kernels::MatrixPlan gather;
      ASSERT_TRUE(gather.prepare(targets, m, /*direct=*/false).ok());
      alignas(16) Complex scratch[kernels::kStackGroup];
      gather.apply_groups(via_gather.data(), 0, via_gather.size() / 8, scratch);
      EXPECT_TRUE(same_bits(via_gather, want2));
    }
  }
}

TEST(Kernels, GatheringPathForTwoQubitGatesMatchesReference) {
  // The path of processors without AVX2, whatever this one has.
  std::mt19937 rng(16);
  const std::vector<Amps> matrices = structured_two_qubit_matrices(rng);
  for (std::size_t n : {2u, 5u, 7u}) {
    for (std::uint64_t a = 0; a < n; ++a) {
      for (std::uint64_t b = 0; b < n; ++b) {
        if (a == b) continue;
        const std::vector<std::uint64_t> targets = {a, b};
        for (const Amps& m : matrices) {
          kernels::MatrixPlan plan;
          ASSERT_TRUE(plan.prepare(targets, m, /*direct=*/false).ok());
          Amps state = random_state(n, rng), want = state;
          reference::apply_matrix(want, targets, m);
          alignas(16) Complex scratch[kernels::kStackGroup];
          plan.apply_groups(state.data(), 0, state.size() / 4, scratch);
          ASSERT_TRUE(same_bits(state, want)) << "n=" << n << " targets " << a << "," << b;
        }
      }
    }
  }
}

TEST(Kernels, DirectTwoQubitKernelMatchesReferenceOnAnyCut) {
  if (!kernels::cpu_has_avx2()) GTEST_SKIP() << "no AVX2";
  std::mt19937 rng(15);
  const std::vector<Amps> matrices = structured_two_qubit_matrices(rng);
  for (std::size_t n : {4u, 6u}) {
    for (std::uint64_t a = 0; a < n; ++a) {
      for (std::uint64_t b = 0; b < n; ++b) {
        if (a == b) continue;
        const std::vector<std::uint64_t> targets = {a, b};
        for (const Amps& m : matrices) {
          kernels::Direct4 plan;
          kernels::prepare_direct(targets, m, &plan);
          Amps state = random_state(n, rng), want = state;
          reference::apply_matrix(want, targets, m);
          const std::size_t groups = state.size() / 4;
          for (std::size_t lo = 0; lo < groups;) {
            const std::size_t hi = std::min(groups, lo + 1 + rng() % 7);
            kernels::direct_groups_avx2(state.data(), plan, lo, hi);
            lo = hi;
          }
          ASSERT_TRUE(same_bits(state, want)) << "n=" << n << " targets " << a << "," << b;
        }
      }
    }
  }
}

TEST(Kernels, EveryOneQubitVariantMatchesReferenceOnAnyCut) {
  std::mt19937 rng(5);
  std::vector<decltype(&kernels::mat2_pairs_sse2)> variants = {&kernels::mat2_pairs_sse2};
  if (kernels::cpu_has_avx2()) variants.push_back(&kernels::mat2_pairs_avx2);
  for (auto variant : variants) {
    for (std::size_t n = 1; n <= 9; ++n) {
      for (std::size_t q = 0; q < n; ++q) {
        const Amps m = random_matrix(2, rng, 1);
        Amps state = random_state(n, rng), want = state;
        reference::apply_mat2(want, q, m.data());
        // Random cut points, odd ones included.
        const std::size_t pairs = state.size() / 2;
        std::size_t lo = 0;
        while (lo < pairs) {
          const std::size_t hi = std::min(pairs, lo + 1 + rng() % 11);
          variant(state.data(), static_cast<unsigned>(q), m.data(), lo, hi);
          lo = hi;
        }
        ASSERT_TRUE(same_bits(state, want)) << "n=" << n << " q=" << q;
      }
    }
  }
}

TEST(Kernels, EveryControlledPairsVariantMatchesScalarOnAnyCut) {
  std::mt19937 rng(6);
  std::vector<decltype(&kernels::controlled_pairs_sse2)> variants = {&kernels::controlled_pairs_sse2};
  if (kernels::cpu_has_avx2()) variants.push_back(&kernels::controlled_pairs_avx2);
  for (auto variant : variants) {
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
            variant(state.data(), t, m.data(), low, lo, hi);
            lo = hi;
          }
          ASSERT_TRUE(same_bits(state, want)) << "n=" << n << " t=" << t << " low=" << low;
        }
      }
    }
  }
}

TEST(Kernels, EveryRowSumVariantMatchesScalar) {
  std::mt19937 rng(13);
  std::vector<decltype(&kernels::row_sums_sse2)> variants = {&kernels::row_sums_sse2};
  if (kernels::cpu_has_avx2()) variants.push_back(&kernels::row_sums_avx2);
  const std::size_t width = 64;
  for (auto variant : variants) {
    for (std::size_t c = 1; c <= width; c += (c < 20 ? 1 : 7)) {
      const std::size_t count = 1 + rng() % 8;
      const Amps vals = random_matrix(3, rng, 1);  // 9 entries
      std::vector<std::uint32_t> cols(count);
      for (auto& col : cols) col = rng() % 4;
      const Amps scratch = random_state(8, rng);  // 4 x 64
      Amps got(c), want(c);
      variant(vals.data(), cols.data(), count, scratch.data(), width, c, got.data());
      kernels::row_sums_scalar(vals.data(), cols.data(), count, scratch.data(), width, 0, c, want.data());
      ASSERT_TRUE(same_bits(got, want)) << c;
    }
  }
}

TEST(Kernels, ControlledRowsTurnNegativeZeroPositiveLikeTheReference) {
  const Amps cx = {{1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0},
                   {0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}};
  Amps state = {{-0.0f, -0.0f}, {-0.0f, 0.5f}, {0.5f, -0.0f}, {-0.0f, -0.0f}};
  Amps want = state;
  const std::vector<std::uint64_t> targets = {0, 1};
  reference::apply_matrix(want, targets, cx);
  ASSERT_TRUE(kernels::apply_matrix<SequentialExecutor>(state, targets, cx).ok());
  EXPECT_TRUE(same_bits(state, want));
  EXPECT_FALSE(std::signbit(state[0].re));  // 0 + 1*(-0) is +0
  EXPECT_FALSE(std::signbit(state[2].im));
}

TEST(Kernels, KernelsInsideParallelRows) {
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

// --- the state vector ----------------------------------------------------------

Amps amps_of(const StateVector& s) { return Amps(s.amplitudes().begin(), s.amplitudes().end()); }

Amps basis(std::size_t n, std::size_t index) {
  Amps a(std::size_t{1} << n);
  a[index] = {1.0f, 0.0f};
  return a;
}

StateVector state_from(const Amps& a, std::uint64_t n) {
  StateVector s = std::move(StateVector::create(n).value());
  std::copy(a.begin(), a.end(), s.data());
  return s;
}

const std::vector<Complex> kX = {{0, 0}, {1, 0}, {1, 0}, {0, 0}};
const std::vector<Complex> kCnotMatrix = {{1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0},
                                          {0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}};

TEST(StateVector, FreshStateIsAllZeros) {
  auto s = StateVector::create(3);
  ASSERT_TRUE(s.ok());
  EXPECT_TRUE(same_bits(amps_of(*s), basis(3, 0)));
  auto big = StateVector::create(64);
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().kind, ErrorKind::kInternal);
  EXPECT_EQ(big.error().message, "too many qubits in state vector");
}

TEST(StateVector, ResetRestoresTheZeroState) {
  std::mt19937 rng(1);
  StateVector s = state_from(random_state(4, rng), 4);
  s.reset_to_zero_state();
  EXPECT_TRUE(same_bits(amps_of(s), basis(4, 0)));
}

TEST(StateVector, XOnEachQubit) {
  for (std::uint64_t q : {0u, 1u}) {
    StateVector s = std::move(StateVector::create(2).value());
    ASSERT_TRUE(s.apply_operation(Operation::create({q}, kX).value()).ok());
    EXPECT_TRUE(same_bits(amps_of(s), basis(2, std::size_t{1} << q))) << q;
  }
}

TEST(StateVector, ControlledNotUsesTheFirstTargetAsControl) {
  const Gate cnot = make_controlled_unitary_gate({0}, {1}, kX).value();
  struct Case {
    Operation op;
    std::size_t in, out;
  };
  const Operation reversed = Operation::create({1, 0}, kCnotMatrix).value();
  for (const Case& c : {Case{cnot.op, 1, 3}, Case{cnot.op, 2, 2}, Case{reversed, 2, 3}, Case{reversed, 1, 1}}) {
    StateVector s = state_from(basis(2, c.in), 2);
    ASSERT_TRUE(s.apply_operation(c.op).ok());
    EXPECT_TRUE(same_bits(amps_of(s), basis(2, c.out))) << c.in;
  }
}

TEST(StateVector, ControlledGatesMatchReference) {
  std::mt19937 rng(4);
  const float h = 0.70710678f;
  const std::vector<Complex> hadamard = {{h, 0}, {h, 0}, {h, 0}, {-h, 0}};
  for (std::size_t controls = 1; controls <= 3; ++controls) {
    const auto qubits = random_targets(7, controls + 1, rng);
    std::vector<std::uint64_t> ctrl(qubits.begin(), qubits.end() - 1);
    const Gate g = make_controlled_unitary_gate(ctrl, {qubits.back()}, hadamard).value();
    Amps start = random_state(7, rng), want = start;
    StateVector s = state_from(start, 7);
    reference::apply_matrix(want, g.op.targets, g.op.full_matrix().value());
    ASSERT_TRUE(s.apply_operation(g.op).ok());
    EXPECT_TRUE(same_bits(amps_of(s), want)) << controls;
  }
}

TEST(StateVector, InvalidTargetsLeaveTheStateUnchanged) {
  std::mt19937 rng(2);
  const Amps start = random_state(3, rng);
  StateVector s = state_from(start, 3);
  const Status st = s.apply_operation(Operation::create({5}, kX).value());
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind, ErrorKind::kInvalid);
  EXPECT_EQ(st.error().message, "qubit index 5 is out of range for 3 qubits");
  EXPECT_TRUE(same_bits(amps_of(s), start));
  // A hand-made operation whose matrix does not fit its targets.
  Operation bad;
  bad.targets = {0, 1};
  bad.matrix = kX;
  EXPECT_EQ(s.apply_operation(bad).error().kind, ErrorKind::kInternal);
  EXPECT_TRUE(same_bits(amps_of(s), start));
}

TEST(StateVector, ValidateTargetsChecksDuplicatesBeforeRange) {
  StateVector one = std::move(StateVector::create(1).value());
  const std::vector<std::uint64_t> dup = {2, 2};
  EXPECT_EQ(validate_targets(one, dup).error().message, "duplicate qubit index: 2");
  StateVector four = std::move(StateVector::create(4).value());
  const std::vector<std::uint64_t> both = {7, 1, 3, 1, 9};
  EXPECT_EQ(validate_targets(four, both).error().message, "duplicate qubit index: 1");
  const std::vector<std::uint64_t> range = {1, 9, 7};
  EXPECT_EQ(validate_targets(four, range).error().message, "qubit index 9 is out of range for 4 qubits");
  const std::vector<std::uint64_t> fine = {3, 0};
  EXPECT_TRUE(validate_targets(four, fine).ok());
}

TEST(StateVector, OperationOnEveryQubitOfTheRegister) {
  std::mt19937 rng(8);
  const std::size_t n = 5, d = 32;
  const Amps m = random_matrix(d, rng, 2);
  const std::vector<std::uint64_t> targets = {3, 0, 4, 1, 2};
  const Amps start = random_state(n, rng);
  Amps want = start;
  reference::apply_matrix(want, targets, m);
  StateVector s = state_from(start, n);
  Operation op;
  op.targets = targets;
  op.matrix = m;
  ASSERT_TRUE(s.apply_operation(op).ok());
  EXPECT_TRUE(same_bits(amps_of(s), want));
}

}  // namespace
}  // namespace vantrel::sim
