#include "sim/model/gate_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <set>
#include <string>

#include "sim/model/operation.h"

namespace vantrel::sim {
namespace {

using C = std::complex<double>;

C at(const std::vector<Complex>& m, std::size_t i) { return {m[i].re, m[i].im}; }

TEST(StandardGates, TableOrderShapesAndUnitarity) {
  std::set<std::string> names;
  std::size_t index = 0;
  for (const StandardGateInfo& info : standard_gates()) {
    EXPECT_EQ(static_cast<std::size_t>(info.gate), index++);
    EXPECT_EQ(&standard_gate_info(info.gate), &info);
    EXPECT_TRUE(names.insert(info.name).second) << info.name;
    for (float a : {0.0f, 0.7f, -2.9f, 11.0f}) {
      const float angles[3] = {a, 0.5f * a + 0.3f, 1.1f - a};
      const std::vector<Complex> m =
          standard_matrix(info.gate, std::span<const float>(angles, info.angles));
      const std::size_t d = std::size_t{1} << info.qubits;
      ASSERT_EQ(m.size(), d * d) << info.name;
      EXPECT_TRUE(is_unitary(m, d)) << info.name << " " << a;
    }
  }
}

// Every constructor row names each of its qubits once (controls, then the
// gate's own), under names no other row uses.
TEST(StandardGates, ConstructorRowsNameTheirQubitsAndAreUnique) {
  std::set<std::string> names;
  for (const GateConstructor& row : kGateConstructors) {
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    if (row.alias) {
      EXPECT_TRUE(names.insert(row.alias).second) << row.alias;
    }
    std::size_t named = 0;
    for (const char* q : row.qubits) named += q != nullptr;
    const std::size_t controls = row.controls == ControlShape::kNone ? 0
                                 : row.controls == ControlShape::kTwo ? 2
                                                                       : 1;
    EXPECT_EQ(named, controls + standard_gate_info(row.gate).qubits) << row.name;
    EXPECT_TRUE(!row.global_phase || row.gate == StandardGate::kU) << row.name;
  }
}

// The angle-dependent matrices against their textbook forms in double
// precision.
TEST(StandardGates, AngleDependentMatricesAreTheTextbookOnes) {
  const C i(0, 1);
  for (float t : {0.0f, 0.4f, -1.3f, 3.1f, 7.0f}) {
    const float u[3] = {t, 0.8f - t, 0.25f * t};
    const double th = t, ph = u[1], la = u[2];
    const double c = std::cos(th / 2), s = std::sin(th / 2);
    const struct {
      StandardGate gate;
      const float* angles;
      unsigned count;
      C want[4];
    } cases[] = {
        {StandardGate::kP, &t, 1, {1, 0, 0, std::exp(i * th)}},
        {StandardGate::kRX, &t, 1, {c, -i * s, -i * s, c}},
        {StandardGate::kRY, &t, 1, {c, -s, s, c}},
        {StandardGate::kRZ, &t, 1, {std::exp(-i * th / 2.0), 0, 0, std::exp(i * th / 2.0)}},
        {StandardGate::kU, u, 3,
         {c, -std::exp(i * la) * s, std::exp(i * ph) * s, std::exp(i * (ph + la)) * c}},
    };
    for (const auto& k : cases) {
      const std::vector<Complex> m =
          standard_matrix(k.gate, std::span<const float>(k.angles, k.count));
      for (std::size_t e = 0; e < 4; ++e)
        EXPECT_LT(std::abs(at(m, e) - k.want[e]), 2e-6)
            << standard_gate_info(k.gate).name << " " << t << " entry " << e;
    }
  }
  // A global phase multiplies every entry; none leaves the values.
  std::vector<Complex> x = standard_matrix(StandardGate::kX);
  apply_global_phase<float>(x, 0.5f);
  EXPECT_LT(std::abs(at(x, 1) - std::exp(i * 0.5)), 1e-6);
  std::vector<Complex> h = standard_matrix(StandardGate::kH);
  apply_global_phase<float>(h, std::nullopt);
  EXPECT_EQ(h, standard_matrix(StandardGate::kH));
}

// The fixed matrices against their textbook forms (first target = highest
// bit of the index), within single-precision rounding of 1/sqrt(2) and of
// the phases' cos(pi/2).
TEST(StandardGates, FixedMatricesAreTheTextbookOnes) {
  const C i(0, 1);
  const double r = 1 / std::sqrt(2.0);
  const struct {
    StandardGate gate;
    std::vector<C> want;
  } cases[] = {
      {StandardGate::kH, {r, r, r, -r}},
      {StandardGate::kI, {1, 0, 0, 1}},
      {StandardGate::kX, {0, 1, 1, 0}},
      {StandardGate::kY, {0, -i, i, 0}},
      {StandardGate::kZ, {1, 0, 0, -1}},
      {StandardGate::kS, {1, 0, 0, i}},
      {StandardGate::kSdg, {1, 0, 0, -i}},
      {StandardGate::kT, {1, 0, 0, C(r, r)}},
      {StandardGate::kTdg, {1, 0, 0, C(r, -r)}},
      {StandardGate::kSwap, {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1}},
      {StandardGate::kISwap, {1, 0, 0, 0, 0, 0, i, 0, 0, i, 0, 0, 0, 0, 0, 1}},
  };
  std::size_t fixed = 0;
  for (const StandardGateInfo& info : standard_gates()) fixed += info.angles == 0;
  EXPECT_EQ(std::size(cases), fixed);
  for (const auto& k : cases) {
    const std::vector<Complex> m = standard_matrix(k.gate);
    ASSERT_EQ(m.size(), k.want.size()) << standard_gate_info(k.gate).name;
    for (std::size_t e = 0; e < m.size(); ++e)
      EXPECT_LT(std::abs(at(m, e) - k.want[e]), 1e-7)
          << standard_gate_info(k.gate).name << " entry " << e;
  }
}

}  // namespace
}  // namespace vantrel::sim
