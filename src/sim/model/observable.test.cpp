#include "sim/model/observable.h"

#include <gtest/gtest.h>

#include "sim/testing/terms.h"

namespace vantrel::sim {
namespace {

using testing::term;
using testing::X;
using testing::Y;
using testing::Z;

TEST(PauliTerm, DuplicateReportsEarliestFactorWithALaterDuplicate) {
  auto dup = PauliTerm::create({{1, Z}, {0, X}, {1, Y}, {0, X}}, 1.0f);
  ASSERT_FALSE(dup.ok());
  EXPECT_EQ(dup.error().message, "duplicate qubit index: 1");
  EXPECT_EQ(dup.error().kind, ErrorKind::kInvalid);

  // Qubit 3's pair closes first, but factor 0 (qubit 4) is the earliest one
  // that has a later duplicate.
  auto later = PauliTerm::create({{4, X}, {3, Y}, {3, Z}, {4, Z}}, 1.0f);
  ASSERT_FALSE(later.ok());
  EXPECT_EQ(later.error().message, "duplicate qubit index: 4");

  auto late_pair = PauliTerm::create({{7, X}, {2, Y}, {9, Z}, {9, X}, {2, Z}}, 1.0f);
  ASSERT_FALSE(late_pair.ok());
  EXPECT_EQ(late_pair.error().message, "duplicate qubit index: 2");
}

TEST(PauliTerm, SortsFactorsByQubitKeepingLabels) {
  PauliTerm a = term({{2, Z}, {0, X}, {1, Y}}, -0.5f);
  ASSERT_EQ(a.ops.size(), 3u);
  EXPECT_EQ(a.ops[0].qubit, 0u);
  EXPECT_EQ(a.ops[0].label, X);
  EXPECT_EQ(a.ops[1].qubit, 1u);
  EXPECT_EQ(a.ops[1].label, Y);
  EXPECT_EQ(a.ops[2].qubit, 2u);
  EXPECT_EQ(a.ops[2].label, Z);
  EXPECT_EQ(a.coefficient, -0.5f);
  EXPECT_TRUE(PauliTerm::create({}, 2.0f).ok());
}

TEST(Observable, ConstructorsAndValidation) {
  auto empty = Observable::create({});
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().message, "observable must contain at least one term");

  auto single = Observable::single(Y, 5, 0.25f);
  ASSERT_TRUE(single.ok());
  ASSERT_EQ(single->terms().size(), 1u);
  EXPECT_EQ(single->terms()[0].ops.size(), 1u);
  EXPECT_EQ(single->terms()[0].ops[0].qubit, 5u);
  EXPECT_EQ(single->terms()[0].coefficient, 0.25f);

  auto bad = validate_observable(single->terms(), 3);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "observable references qubit 5 but state vector only has 3 qubits");
  EXPECT_TRUE(validate_observable(single->terms(), 6).ok());

  // First offending factor in term order, then factor order.
  std::vector<PauliTerm> terms = {term({{0, X}}, 1), term({{9, Z}, {4, X}}, 1), term({{8, Y}}, 1)};
  auto first = validate_observable(terms, 3);
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.error().message,
            "observable references qubit 4 but state vector only has 3 qubits");
}

}  // namespace
}  // namespace vantrel::sim
