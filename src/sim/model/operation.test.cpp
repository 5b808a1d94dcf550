#include "sim/model/operation.h"

#include <gtest/gtest.h>

#include <limits>

namespace vantrel::sim {
namespace {

const std::vector<Complex> kX = {{0, 0}, {1, 0}, {1, 0}, {0, 0}};

TEST(Operation, RejectsEmptyDuplicateAndShape) {
  auto empty = Operation::create({}, {{1, 0}});
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().message, "unitary operation must target at least one qubit");

  // Duplicates are reported before the matrix is looked at.
  auto dup = Operation::create({2, 5, 2}, {});
  ASSERT_FALSE(dup.ok());
  EXPECT_EQ(dup.error().message, "duplicate qubit index: 2");

  auto shape = Operation::create({0, 1}, {{1, 0}, {0, 0}, {0, 0}, {1, 0}});
  ASSERT_FALSE(shape.ok());
  EXPECT_EQ(shape.error().message,
            "matrix shape mismatch: expected 16 complex values for 2 targets, got 4");
}

TEST(Operation, ThirtyTwoOrMoreTargetsAreRefusedWithoutOverflow) {
  std::vector<std::uint64_t> targets;
  for (std::uint64_t q = 0; q < 32; ++q) targets.push_back(q);
  auto op = Operation::create(targets, kX);
  ASSERT_FALSE(op.ok());
  EXPECT_EQ(op.error().message,
            "matrix shape mismatch: expected 18446744073709551616 complex values for 32 targets, "
            "got 4");
  for (std::uint64_t q = 32; q < 64; ++q) targets.push_back(q);
  auto too_many = Operation::create(targets, kX);
  ASSERT_FALSE(too_many.ok());
  EXPECT_EQ(too_many.error().message, "too many qubits in operation: 64");
}

TEST(Operation, UnitarityTolerance) {
  auto bad = Operation::create({0}, {{1, 0}, {0, 0}, {0, 0}, {1.002f, 0}});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "matrix must be unitary within tolerance 1e-3");
  EXPECT_TRUE(Operation::create({0}, {{1, 0}, {0, 0}, {0, 0}, {1.0004f, 0}}).ok());
  EXPECT_TRUE(is_unitary({}, 0));
}

TEST(ControlledUnitary, BuildsControlledNot) {
  auto g = make_controlled_unitary_gate({0}, {1}, kX);
  ASSERT_TRUE(g.ok());
  EXPECT_EQ(g->op.targets, (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(g->op.num_controls, 1u);
  EXPECT_EQ(g->op.matrix, kX);  // kept as given; the full matrix is built on request
  const std::vector<Complex> cnot = {{1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0},
                                     {0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}};
  EXPECT_EQ(g->op.full_matrix().value(), cnot);

  auto toffoli = make_controlled_unitary_gate({0, 1}, {2}, kX);
  ASSERT_TRUE(toffoli.ok());
  EXPECT_EQ(toffoli->op.controls().size(), 2u);
  EXPECT_EQ(toffoli->op.matrix_targets()[0], 2u);
  const std::vector<Complex> full = toffoli->op.full_matrix().value();
  ASSERT_EQ(full.size(), 64u);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      float expect = (r < 6) ? (r == c ? 1.0f : 0.0f) : ((r ^ c) == 1 ? 1.0f : 0.0f);
      if (r >= 6 && c < 6) expect = 0.0f;
      EXPECT_EQ(full[r * 8 + c].re, expect) << r << "," << c;
    }
  // A plain operation's full matrix is its own.
  EXPECT_EQ(Operation::create({1}, kX).value().full_matrix().value(), kX);
}

TEST(ControlledUnitary, Errors) {
  auto dup = make_controlled_unitary_gate({1}, {1}, kX);
  ASSERT_FALSE(dup.ok());
  EXPECT_EQ(dup.error().message, "duplicate qubit index: 1");
  EXPECT_EQ(make_controlled_unitary_gate({}, {1}, kX).error().message,
            "controlled unitary requires at least one control qubit");
  EXPECT_EQ(make_controlled_unitary_gate({0}, {}, kX).error().message,
            "controlled unitary requires at least one target qubit");
  EXPECT_EQ(make_controlled_unitary_gate({0}, {1}, {{1, 0}, {0, 0}, {0, 0}}).error().message,
            "matrix shape mismatch: expected 4 complex values for 1 target qubits, got 3");
  // Qubits are checked before anything the size of the full matrix would be
  // built: repeated controls are duplicates, and 39 controls are cheap; only
  // their full matrix (2^83 bytes) is an allocation failure.
  EXPECT_EQ(make_controlled_unitary_gate(std::vector<std::uint64_t>(20, 0), {1}, kX).error().message,
            "duplicate qubit index: 0");
  EXPECT_EQ(make_controlled_unitary_gate({0, 1, 2}, {3, 1}, {}).error().message,
            "matrix shape mismatch: expected 16 complex values for 2 target qubits, got 0");
  EXPECT_EQ(make_controlled_unitary_gate({0, 1, 2}, {3, 1}, std::vector<Complex>(16)).error().message,
            "matrix must be unitary within tolerance 1e-3");
  EXPECT_EQ(make_controlled_unitary_gate(std::vector<std::uint64_t>(63, 0), {1}, kX).error().message,
            "too many qubits in operation: 64");
  std::vector<std::uint64_t> controls;
  for (std::uint64_t q = 1; q < 40; ++q) controls.push_back(q);
  auto huge = make_controlled_unitary_gate(controls, {0}, kX);
  ASSERT_TRUE(huge.ok());
  EXPECT_EQ(huge->op.targets.size(), 40u);
  EXPECT_EQ(huge->op.matrix, kX);
  const auto full = huge->op.full_matrix();
  ASSERT_FALSE(full.ok());
  EXPECT_EQ(full.error().kind, ErrorKind::kOutOfMemory);
  EXPECT_EQ(full.error().message, "cannot allocate a controlled matrix on 40 qubits (8 YiB)");
}

TEST(Result, ByteSizesInBinaryUnits) {
  EXPECT_EQ(byte_size(0), "0 bytes");
  EXPECT_EQ(byte_size(1023), "1023 bytes");
  EXPECT_EQ(byte_size(1024), "1 KiB");
  EXPECT_EQ(byte_size(1536), "1.5 KiB");
  EXPECT_EQ(byte_size((std::uint64_t{1} << 20) - 1), "1 MiB");  // rounds into the next unit
  EXPECT_EQ(byte_size(std::uint64_t{8} << 34), "128 GiB");
  EXPECT_EQ(byte_size(std::uint64_t{3} << 60), "3 EiB");
  EXPECT_EQ(byte_size(static_cast<unsigned __int128>(1) << 90), "1024 YiB");
}

// The controlled matrix skips the unitarity test of Operation::create; it must
// pass that test whenever U passed its own, including U only just within the
// tolerance and U with non-finite entries.
TEST(ControlledUnitary, ControlledMatrixPassesTheUnitarityTestWheneverUDoes) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::vector<Complex>> cases = {
      kX,
      {{1, 0}, {0, 0}, {0, 0}, {1.0004f, 0}},
      {{0.6f, 0.0f}, {0.0f, 0.8f}, {0.0f, 0.8f}, {0.6f, 0.0f}},
      {{-0.0f, -0.0f}, {1, -0.0f}, {-1, 0}, {-0.0f, 0}},
      {{nan, 0}, {0, 0}, {0, 0}, {1, 0}},
      {{1, 0}, {0, 0}, {inf, nan}, {1, 0}},
  };
  for (const auto& u : cases) {
    ASSERT_TRUE(is_unitary(u, 2));
    for (const auto& controls : {std::vector<std::uint64_t>{3}, std::vector<std::uint64_t>{2, 0}}) {
      auto g = make_controlled_unitary_gate(controls, {1}, u);
      ASSERT_TRUE(g.ok()) << g.error().message;
      const std::uint64_t dim = std::uint64_t{1} << g->op.targets.size();
      EXPECT_TRUE(is_unitary(g->op.full_matrix().value(), dim));
    }
  }
  auto dup = make_controlled_unitary_gate({2, 0}, {2}, kX);
  ASSERT_FALSE(dup.ok());
  EXPECT_EQ(dup.error().message, "duplicate qubit index: 2");
}

}  // namespace
}  // namespace vantrel::sim
