#include "sim/state/state_vector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "sim/kernels/reference.h"
#include "sim/testing/amps.h"
#include "sim/model/operation.h"
#include "sim/base/pool.h"

namespace vantrel::sim {
namespace {

using namespace testing;

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
  // Past 63 qubits the size is as impossible to allocate as at 63.
  for (const auto& [n, message] :
       {std::pair<std::uint64_t, const char*>{64, "cannot allocate a state vector of 64 qubits (128 EiB)"},
        {111, "cannot allocate a state vector of 111 qubits (17179869184 YiB)"},
        {112, "cannot allocate a state vector of 112 qubits (2^112 amplitudes)"},
        {UINT64_MAX, "cannot allocate a state vector of 18446744073709551615 qubits "
                     "(2^18446744073709551615 amplitudes)"}}) {
    auto big = StateVector::create(n);
    ASSERT_FALSE(big.ok());
    EXPECT_EQ(big.error().kind, ErrorKind::kOutOfMemory);
    EXPECT_EQ(big.error().message, message);
  }
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
