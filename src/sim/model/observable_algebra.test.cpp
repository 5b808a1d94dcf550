#include "sim/model/observable_algebra.h"

#include <gtest/gtest.h>

#include "sim/testing/terms.h"

#include <complex>
#include <vector>

namespace vantrel::sim {
namespace {

using testing::term;

Observable of(std::vector<PauliTerm> terms) {
  return std::move(Observable::create(std::move(terms)).value());
}

TEST(ObservableAlgebra, SimplifyMergesIntoFirstOccurrenceAndDropsZeros) {
  const PauliFactor x0{0, PauliLabel::kX}, z1{1, PauliLabel::kZ}, y2{2, PauliLabel::kY};
  const Observable h = of({term({z1, x0}, 1.0f), term({y2}, 0.5f), term({x0, z1}, 2.0f),
                           term({}, 0.0f), term({y2}, -0.5f), term({}, 3.0f)});
  const Observable s = simplified(h);
  ASSERT_EQ(s.terms().size(), 2u);
  EXPECT_EQ(s.terms()[0].coefficient, 3.0f);
  EXPECT_EQ(s.terms()[0].ops.size(), 2u);
  EXPECT_EQ(s.terms()[1].coefficient, 3.0f);
  EXPECT_TRUE(s.terms()[1].ops.empty());
  EXPECT_EQ(num_qubits(h), 3u);

  const Observable none = simplified(sum(h, scaled(h, -1.0)));
  ASSERT_EQ(none.terms().size(), 1u);
  EXPECT_EQ(none.terms()[0].coefficient, 0.0f);
  EXPECT_EQ(num_qubits(none), 0u);
}

TEST(ObservableAlgebra, DenseMatrixOfAYTerm) {
  // 2 * Y on qubit 1 of two qubits: rows 0, 1 read columns 2, 3 times -2i.
  const Observable y = of({term({{1, PauliLabel::kY}}, 2.0f)});
  auto m = dense_matrix(y, 2);
  ASSERT_TRUE(m.ok());
  using C = std::complex<double>;
  for (std::size_t r = 0; r < 4; ++r)
    for (std::size_t c = 0; c < 4; ++c) {
      const C want = c == (r ^ 2) ? (r < 2 ? C(0, -2) : C(0, 2)) : C(0, 0);
      EXPECT_EQ((*m)[r * 4 + c], want) << r << "," << c;
    }
  EXPECT_EQ(dense_matrix(y, 1).error().message,
            "observable references qubit 1 but the matrix is for 1 qubits");
  EXPECT_EQ(dense_matrix(y, 33).error().kind, ErrorKind::kOutOfMemory);
}

}  // namespace
}  // namespace vantrel::sim
