#include "sim/kernels/mat2.h"

#include <gtest/gtest.h>

#include <vector>

#include "sim/kernels/reference.h"
#include "sim/testing/amps.h"
#include "sim/base/pool.h"

namespace vantrel::sim {
namespace {

using namespace testing;

template <class P>
class Mat2Kernel : public ::testing::Test {};
using Cases = ExecutorsAtPrecisions<PoolExecutor, SequentialExecutor>;
TYPED_TEST_SUITE(Mat2Kernel, Cases);

// m on qubit q through every table, against the reference computed once.
template <class Exec, class T>
::testing::AssertionResult matches_reference(const AmpsOf<T>& start, std::size_t q, const AmpsOf<T>& m) {
  AmpsOf<T> want = start;
  reference::apply_mat2(want, q, m.data());
  for (const kernels::KernelTableOf<T>* isa : tables<T>()) {
    AmpsOf<T> state = start;
    kernels::apply_mat2<Exec>(state, q, m.data(), *isa);
    if (!same_bits(state, want))
      return ::testing::AssertionFailure() << isa->name << ": first difference at "
                                           << first_difference(state, want);
  }
  return ::testing::AssertionSuccess();
}

TYPED_TEST(Mat2Kernel, EveryTableMatchesReference) {
  using Exec = typename TypeParam::Exec;
  using T = typename TypeParam::Scalar;
  std::mt19937 rng(7);
  for (std::size_t n = 1; n <= 12; ++n)
    for (std::size_t q = 0; q < n; ++q)
      for (const AmpsOf<T>& m : mat2_cases<T>(rng))
        ASSERT_TRUE((matches_reference<Exec, T>(random_state<T>(n, rng), q, m))) << "n=" << n << " q=" << q;
  // A state large enough to be cut into pieces.
  for (std::size_t q : {0u, 1u, 2u, 3u, 7u, 15u, 16u})
    ASSERT_TRUE((matches_reference<Exec, T>(random_state<T>(17, rng), q, random_matrix<T>(2, rng, 0)))) << "q=" << q;
}

template <class T>
class Mat2Cuts : public ::testing::Test {};
TYPED_TEST_SUITE(Mat2Cuts, Precisions);

TYPED_TEST(Mat2Cuts, EveryVariantMatchesReferenceOnAnyCut) {
  using T = TypeParam;
  std::mt19937 rng(5);
  for (const kernels::KernelTableOf<T>* isa : tables<T>()) {
    for (std::size_t n = 1; n <= 9; ++n) {
      for (std::size_t q = 0; q < n; ++q) {
        const AmpsOf<T> m = random_matrix<T>(2, rng, 1);
        AmpsOf<T> state = random_state<T>(n, rng), want = state;
        reference::apply_mat2(want, q, m.data());
        // Random cut points, odd ones included.
        const std::size_t pairs = state.size() / 2;
        std::size_t lo = 0;
        while (lo < pairs) {
          const std::size_t hi = std::min(pairs, lo + 1 + rng() % 11);
          isa->mat2_pairs(state.data(), static_cast<unsigned>(q), m.data(), lo, hi);
          lo = hi;
        }
        ASSERT_TRUE(same_bits(state, want)) << isa->name << " n=" << n << " q=" << q;
      }
    }
  }
}

}  // namespace
}  // namespace vantrel::sim
