#include "sim/kernels/block.h"

#include <gtest/gtest.h>

#include <random>

#include "sim/run/plan_run.h"
#include "sim/kernels/reference.h"
#include "sim/testing/gates.h"
#include "sim/testing/states.h"

namespace vantrel::sim {
namespace {

using namespace testing;

template <class T>
class BlockKernels : public ::testing::Test {};
TYPED_TEST_SUITE(BlockKernels, Precisions);

// Mostly zero amplitudes (as early in a run from |0...0>): most lanes take
// the shortcuts' recomputation.
template <class T>
AmpsOf<T> sparse_state(std::size_t n, std::mt19937& rng) {
  AmpsOf<T> a = random_unit_state<T>(n, rng);
  for (auto& c : a)
    if (rng() % 4) c = {rng() & 1 ? T(0) : -T(0), rng() & 1 ? T(0) : -T(0)};
  return a;
}

// The gate table's rotations (computed in single precision, widened for
// double), X, Y, S and random unitaries.
template <class T>
std::vector<AmpsOf<T>> one_qubit_matrices(std::mt19937& rng) {
  using C = ComplexOf<T>;
  std::vector<AmpsOf<T>> ms;
  auto widen = [](Complex c) { return C{c.re, c.im}; };
  for (int kind = 0; kind < 4; ++kind) {
    Complex m[4];
    rotation_matrix(static_cast<RotationKind>(kind), 0.9f, m);
    ms.push_back({widen(m[0]), widen(m[1]), widen(m[2]), widen(m[3])});
    rotation_matrix(static_cast<RotationKind>(kind), 3.3f, m);  // negative cosines
    ms.push_back({widen(m[0]), widen(m[1]), widen(m[2]), widen(m[3])});
  }
  const C o{0, 0}, mz{-T(0), -T(0)}, l{1, 0}, i{0, 1}, ni{0, -1};
  ms.push_back({o, l, l, o});    // X
  ms.push_back({o, ni, i, mz});  // Y, a -0
  ms.push_back({l, mz, o, i});   // S, a -0
  ms.push_back(random_unitary<T>(2, rng));
  ms.push_back(random_unitary<T>(2, rng, true));
  ms.push_back(random_diagonal<T>(2, rng));
  ms.push_back({o, {T(0.6f), T(0.8f)}, {T(-0.8f), T(0.6f)}, mz});  // anti-diagonal phases
  return ms;
}

TYPED_TEST(BlockKernels, OneQubitShapesMatchTheReference) {
  using T = TypeParam;
  std::mt19937 rng(61);
  const std::vector<AmpsOf<T>> matrices = one_qubit_matrices<T>(rng);
  for (const kernels::KernelTableOf<T>* table : tables<T>()) {
    const auto variant = table->block_mat2;
    for (unsigned bits = 1; bits <= 8; ++bits) {
      for (unsigned q = 0; q < bits; ++q) {
        for (const AmpsOf<T>& m : matrices) {
          const kernels::Mat2BlockOf<T> op = kernels::prepare_mat2_block(q, m.data());
          for (bool sparse : {false, true}) {
            const AmpsOf<T> start = sparse ? sparse_state<T>(bits, rng) : random_unit_state<T>(bits, rng);
            AmpsOf<T> got = start, want = start;
            variant(got.data(), bits, op);
            reference::apply_mat2(want, q, m.data());
            ASSERT_TRUE(same_bits(got, want)) << table->name << " bits " << bits << " q " << q << " shape "
                                              << int(op.shape) << " at " << first_difference(got, want);
          }
        }
      }
    }
  }
  // The shapes: RY real, RX real and imaginary, RZ and P diagonal, X, phases
  // off the diagonal.
  using Shape = typename kernels::Mat2BlockOf<T>::Shape;
  EXPECT_EQ(kernels::prepare_mat2_block(0, matrices[2].data()).shape, Shape::kReal);
  EXPECT_EQ(kernels::prepare_mat2_block(0, matrices[0].data()).shape, Shape::kRealImaginary);
  EXPECT_EQ(kernels::prepare_mat2_block(0, matrices[4].data()).shape, Shape::kDiagonal);
  EXPECT_EQ(kernels::prepare_mat2_block(0, matrices[11].data()).shape, Shape::kGeneral);
  EXPECT_EQ(kernels::prepare_mat2_block(0, matrices[8].data()).shape, Shape::kSwap);
  EXPECT_EQ(kernels::prepare_mat2_block(0, matrices.back().data()).shape, Shape::kAntiDiagonal);
}

TYPED_TEST(BlockKernels, ControlledXMatchesTheReference) {
  using T = TypeParam;
  std::mt19937 rng(67);
  for (const kernels::KernelTableOf<T>* table : tables<T>()) {
    const auto variant = table->block_controlled_x;
    for (unsigned bits = 2; bits <= 8; ++bits) {
      for (int rep = 0; rep < 12; ++rep) {
        const std::size_t controls = 1 + rng() % std::min<unsigned>(3, bits - 1);
        std::vector<std::uint64_t> targets(bits);
        std::iota(targets.begin(), targets.end(), 0);
        std::shuffle(targets.begin(), targets.end(), rng);
        targets.resize(controls + 1);
        const AmpsOf<T> m = controlled<T>(controls, {{0, 0}, {1, 0}, {1, 0}, {0, 0}}, 2);
        kernels::ControlledMat2Of<T> c;
        ASSERT_TRUE(kernels::match_controlled_mat2(targets, m, &c));
        ASSERT_TRUE(kernels::is_controlled_x(c));
        const AmpsOf<T> start = rep % 2 ? sparse_state<T>(bits, rng) : random_unit_state<T>(bits, rng);
        AmpsOf<T> got = start, want = start;
        variant(got.data(), bits, c);
        reference::apply_matrix(want, targets, m);
        ASSERT_TRUE(same_bits(got, want)) << table->name << " bits " << bits << " target " << targets.back();
      }
    }
  }
  kernels::ControlledMat2Of<T> y;
  const std::vector<std::uint64_t> two = {0, 1};
  ASSERT_TRUE(kernels::match_controlled_mat2(two, controlled<T>(1, {{0, 0}, {0, -1}, {0, 1}, {0, 0}}, 2), &y));
  EXPECT_FALSE(kernels::is_controlled_x(y));
}

}  // namespace
}  // namespace vantrel::sim
