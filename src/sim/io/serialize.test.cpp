#include "sim/io/serialize.h"
#include "sim/testing/gates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "sim/run/plan_run.h"
#include "sim/model/gates.h"

namespace vantrel::sim {
namespace {

using namespace testing;

template <class T>
Bytes encoded(const T& value) {
  auto bytes = encode(value);
  EXPECT_TRUE(bytes.ok());
  return std::move(bytes).value();
}

// A random value of every kind, covering every gate kind, step kind,
// rotation, Pauli label and name form (none, empty, non-ASCII), a fused
// compiled plan, a controlled gate and a NaN angle.
struct Sample {
  ParameterizedCircuitSpec spec;
  CompiledCircuit plan;
  Circuit circuit;
  Observable observable;
};

Sample random_sample(std::mt19937_64& rng, std::uint64_t n) {
  auto pick = [&](std::uint64_t k) { return std::uniform_int_distribution<std::uint64_t>(0, k - 1)(rng); };
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(n).value();
  const char* names[] = {"theta", "", "\xce\xb8"};
  const std::uint64_t params = pick(4);
  for (std::uint64_t i = 0; i < params; ++i)
    spec.add_parameter(pick(4) == 0 ? std::nullopt : std::optional<std::string>(names[pick(3)]));
  std::vector<Gate> gates;
  for (int s = 0; s < 24; ++s) {
    const std::uint64_t q = pick(n);
    const std::uint64_t other = (q + 1 + pick(n - 1)) % n;
    Gate g = Gate::barrier();
    switch (pick(7)) {
      case 0: g = hadamard(q); break;
      case 1: {
        Complex m[4];
        const float angle = pick(8) == 0 ? std::numeric_limits<float>::quiet_NaN()
                                         : std::uniform_real_distribution<float>(-4, 4)(rng);
        rotation_matrix(static_cast<RotationKind>(pick(4)), angle, m);
        g = unitary({q}, {m[0], m[1], m[2], m[3]});
        break;
      }
      case 2: g = cnot(q, other); break;
      case 3: g = unitary({other, q}, kCnot); break;
      case 4: g = pick(3) == 0 ? Gate::barrier() : pick(2) ? Gate::measure(q) : Gate::reset(q); break;
      case 5: {
        // Gates that carry the label of their table entry.
        const double angles[1] = {std::uniform_real_distribution<double>(-4, 4)(rng)};
        g = pick(2) ? make_standard_gate(StandardGate::kRY, {q}, angles).value()
                    : make_controlled_u_gate({other}, {q}, 0.1f, 0.2f, 0.3f,
                                             pick(2) ? std::optional<float>(0.4f) : std::nullopt)
                          .value();
        break;
      }
      default:
        if (params > 0) {
          if (pick(2))
            EXPECT_TRUE(spec.add_param_single(static_cast<RotationKind>(pick(4)), q, pick(params)).ok());
          else
            EXPECT_TRUE(spec.add_pauli_rotation({{q, PauliLabel::kX}, {other, static_cast<PauliLabel>(pick(3))}},
                                                pick(params), pick(2) ? -0.5 : 0.1)
                            .ok());
          continue;
        }
        g = hadamard(q);
    }
    // Barriers come in runs of up to three, which lists keep as one value.
    for (std::uint64_t copies = g.kind == Gate::Kind::kBarrier ? 1 + pick(3) : 1; copies > 0;
         --copies) {
      gates.push_back(g);
      EXPECT_TRUE(spec.add_fixed_gate(g).ok());
    }
  }
  std::vector<PauliTerm> terms;
  for (std::uint64_t t = 0; t < 1 + pick(4); ++t) {
    std::vector<PauliFactor> factors;
    for (std::uint64_t q = 0; q < n; ++q)
      if (pick(2)) factors.push_back({q, static_cast<PauliLabel>(pick(3))});
    terms.push_back(PauliTerm::create(std::move(factors), std::uniform_real_distribution<double>(-2, 2)(rng)).value());
  }
  CompiledCircuit plan = spec.compile(pick(2) ? Precision::kDouble : Precision::kSingle);
  return {std::move(spec), std::move(plan), Circuit::create(std::move(gates)),
          Observable::create(std::move(terms)).value()};
}

// Decoding a value and encoding it again gives the same bytes: every field
// survives the round trip exactly, signed zeros and NaN payloads included.
TEST(Serialize, RoundTripsEveryKindExactly) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 40; ++trial) {
    Sample s = random_sample(rng, 2 + trial % 4);
    const Bytes spec = encoded(s.spec), plan = encoded(s.plan), circuit = encoded(s.circuit),
                observable = encoded(s.observable);
    EXPECT_EQ(encoded(decode_circuit_spec(spec).value()), spec);
    EXPECT_EQ(encoded(decode_compiled_circuit(plan).value()), plan);
    EXPECT_EQ(encoded(decode_circuit(circuit).value()), circuit);
    EXPECT_EQ(encoded(decode_observable(observable).value()), observable);
    for (const Gate& g : s.circuit.gates()) EXPECT_EQ(encoded(decode_gate(encoded(g)).value()), encoded(g));
  }
  for (const ParameterHandle& p : {ParameterHandle{0, std::nullopt}, ParameterHandle{3, ""},
                                   ParameterHandle{~std::uint64_t{0}, "\xce\xb8 x"}}) {
    ParameterHandle back = decode_parameter(encoded(p)).value();
    EXPECT_EQ(back.index, p.index);
    EXPECT_EQ(back.name, p.name);
  }
}

// Plans keep the names of their slots, or none when made without them.
TEST(Serialize, PlansKeepTheirParameterNames) {
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(1).value();
  spec.add_parameter("\xce\xb3");
  spec.add_parameter(std::nullopt);
  const CompiledCircuit named = decode_compiled_circuit(encoded(spec.compile())).value();
  EXPECT_EQ(named.parameter_names(), spec.parameter_names());
  const CompiledCircuit unnamed = decode_compiled_circuit(encoded(CompiledCircuit({}, 1, 2))).value();
  EXPECT_EQ(unnamed.parameter_count(), 2u);
  EXPECT_TRUE(unnamed.parameter_names().empty());
}

// The decoded plan is the plan, not a recompilation: same steps, and a run
// gives the same amplitudes, bit for bit.
TEST(Serialize, DecodedPlanRunsToTheSameBits) {
  std::mt19937_64 rng(11);
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(4).value();
  for (int i = 0; i < 3; ++i) spec.add_parameter(std::nullopt);
  for (std::uint64_t q = 0; q < 4; ++q) {
    ASSERT_TRUE(spec.add_fixed_gate(hadamard(q)).ok());
    ASSERT_TRUE(spec.add_fixed_gate(hadamard(q)).ok());  // fused into one step
    ASSERT_TRUE(spec.add_param_single(RotationKind::kRY, q, q % 3).ok());
    ASSERT_TRUE(spec.add_fixed_gate(cnot(q, (q + 1) % 4)).ok());
  }
  const CompiledCircuit plan = spec.compile();
  const CompiledCircuit back = decode_compiled_circuit(encoded(plan)).value();
  ASSERT_EQ(back.ops().size(), plan.ops().size());
  const std::vector<float> params = {0.3f, -1.7f, 2.9f};
  StateVector a = run_statevector(plan, params).value();
  StateVector b = run_statevector(back, params).value();
  EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(Complex)), 0);
}

Bytes u64le(std::uint64_t v) {
  Bytes b;
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The layout is a contract between builds: pinned byte by byte.
TEST(Serialize, LayoutIsVersionTagThenLittleEndianFields) {
  EXPECT_EQ(encoded(Gate::measure(0x0102)),
            (Bytes{3, 1, 1, 0x02, 0x01, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encoded(ParameterHandle{5, "ab"}),
            (Bytes{3, 6, 5, 0, 0, 0, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'}));
  // cx(5, 3): one control, qubits [5, 3], the 2x2 X on qubit 3.
  const Bytes cx = encoded(cnot(5, 3));
  // The matrix in single then in double precision, then its label.
  ASSERT_GE(cx.size(), 2u + 1 + 8 + 8 + 2 * 8 + 8 + 4 * 8 + 4 * 16 + 1);
  EXPECT_EQ(Bytes(cx.begin(), cx.begin() + 3 + 8 + 8 + 16 + 8),
            cat({{3, 1, 0}, u64le(1), u64le(2), u64le(5), u64le(3), u64le(4)}));
  float m01_re;
  std::memcpy(&m01_re, cx.data() + 2 + 1 + 8 + 8 + 16 + 8 + 8, 4);
  EXPECT_EQ(m01_re, 1.0f);
  double m01_re_d;
  std::memcpy(&m01_re_d, cx.data() + 2 + 1 + 8 + 8 + 16 + 8 + 4 * 8 + 16, 8);
  EXPECT_EQ(m01_re_d, 1.0);
}

template <class T>
std::string error_of(const Result<T>& r) {
  return r.ok() ? "" : r.error().message;
}

Bytes matrix_bytes(const std::vector<Complex>& m) {
  Bytes b(m.size() * 8);
  std::memcpy(b.data(), m.data(), b.size());
  return b;
}

// A version 2 payload (every real an f32, one matrix per unitary) decodes as
// a single-precision plan whose labelled gates get the double matrix their
// constructor would make.
TEST(Serialize, ReadsVersionTwoAsSinglePrecision) {
  const float angle = 0.3f;
  const Gate ry = make_standard_gate(StandardGate::kRY, {0}, std::vector<double>{angle}).value();
  Bytes f32_angle(4), f32_scale(4);
  std::memcpy(f32_angle.data(), &angle, 4);
  const float scale = -0.5f;
  std::memcpy(f32_scale.data(), &scale, 4);
  const Bytes v2 = cat({{2, 5}, u64le(2), u64le(1), u64le(2),
                        {0, 0}, u64le(0), u64le(1), u64le(0), u64le(4), matrix_bytes(ry.op.matrix),
                        {1, static_cast<std::uint8_t>(StandardGate::kRY), 1}, f32_angle,
                        {2}, u64le(0), f32_scale, u64le(2), u64le(0), {0}, u64le(1), {2},
                        {0}});
  const CompiledCircuit plan = decode_compiled_circuit(v2).value();
  EXPECT_EQ(plan.precision(), Precision::kSingle);
  ASSERT_EQ(plan.ops().size(), 2u);
  EXPECT_EQ(plan.ops()[0].gate.op.matrix, ry.op.matrix);
  EXPECT_EQ(plan.ops()[0].gate.op.matrix_d, ry.op.matrix_d);
  EXPECT_EQ(plan.ops()[1].scale, -0.5);
}

// Forged payloads are refused with a message naming what is wrong, before
// anything is allocated for them.
TEST(Serialize, RefusesForgedPayloadsNamingTheFault) {
  const Bytes plan_head = {2, 5};
  const Bytes gate_head = {2, 1};
  const Bytes x = matrix_bytes(kX);
  struct Case {
    const char* expected;
    std::string got;
  };
  const Case cases[] = {
      {"invalid Gate payload: the payload is empty", error_of(decode_gate({}))},
      {"invalid Gate payload: format version 1 is not supported (this build reads 2 to 3)",
       error_of(decode_gate(Bytes{1, 1, 3}))},
      {"invalid Gate payload: it holds a Circuit, not a Gate", error_of(decode_gate(Bytes{2, 2}))},
      {"invalid Gate payload: unknown value tag 99", error_of(decode_gate(Bytes{2, 99}))},
      {"invalid Gate payload: truncated: qubit needs 8 bytes at offset 3, 2 remain",
       error_of(decode_gate(Bytes{2, 1, 1, 0, 0}))},
      {"invalid Gate payload: 1 trailing bytes after the value",
       error_of(decode_gate(Bytes{2, 1, 3, 0}))},
      {"invalid Gate payload: unknown gate kind 5", error_of(decode_gate(Bytes{2, 1, 5}))},
      {"invalid Gate payload: unknown channel kind 9", error_of(decode_gate(Bytes{2, 1, 4, 9}))},
      {"invalid Gate payload: qubit count 2305843009213693952 is more than the remaining 0 bytes can hold",
       error_of(decode_gate(cat({gate_head, {0}, u64le(0), u64le(std::uint64_t{1} << 61)})))},
      {"invalid Gate payload: duplicate qubit index: 2",
       error_of(decode_gate(cat({gate_head, {0}, u64le(0), u64le(2), u64le(2), u64le(2), u64le(16), matrix_bytes(kCnot), {0}})))},
      {"invalid Gate payload: duplicate qubit index: 2",
       error_of(decode_gate(cat({gate_head, {0}, u64le(1), u64le(2), u64le(2), u64le(2), u64le(4), x, {0}})))},
      {"invalid Gate payload: matrix shape mismatch: expected 16 complex values for 2 targets, got 4",
       error_of(decode_gate(cat({gate_head, {0}, u64le(0), u64le(2), u64le(0), u64le(1), u64le(4), x, {0}})))},
      {"invalid Gate payload: matrix shape mismatch: expected 4 complex values for 1 target qubits, got 16",
       error_of(decode_gate(cat({gate_head, {0}, u64le(1), u64le(2), u64le(0), u64le(1), u64le(16), matrix_bytes(kCnot), {0}})))},
      {"invalid Gate payload: controlled unitary requires at least one target qubit",
       error_of(decode_gate(cat({gate_head, {0}, u64le(1), u64le(1), u64le(0), u64le(4), x, {0}})))},
      {"invalid Gate payload: control count 3 is more than the 2 qubits of the operation",
       error_of(decode_gate(cat({gate_head, {0}, u64le(3), u64le(2), u64le(0), u64le(1), u64le(4), x, {0}})))},
      {"invalid Gate payload: matrix must be unitary within tolerance 1e-3",
       error_of(decode_gate(cat({gate_head, {0}, u64le(0), u64le(1), u64le(0), u64le(4),
                                 matrix_bytes({{1, 0}, {0, 0}, {0, 0}, {1.002f, 0}}), {0}})))},
      {"invalid CompiledCircuit payload: compiled circuits must have at least one qubit",
       error_of(decode_compiled_circuit(cat({plan_head, u64le(0), u64le(0), u64le(0)})))},
      {"invalid CompiledCircuit payload: step 0: qubit index 3 is out of range for 2 qubits",
       error_of(decode_compiled_circuit(cat({plan_head, u64le(2), u64le(0), u64le(1), {0, 0}, u64le(0), u64le(1), u64le(3), u64le(4), x, {0}})))},
      {"invalid CompiledCircuit payload: step 1: qubit index 2 is out of range for 2 qubits",
       error_of(decode_compiled_circuit(cat({plan_head, u64le(2), u64le(0), u64le(2), {0, 3}, {0, 2}, u64le(2)})))},
      {"invalid CompiledCircuit payload: step 0: parameter slot 1 does not exist in this circuit spec",
       error_of(decode_compiled_circuit(cat({plan_head, u64le(2), u64le(1), u64le(1), {1, 0}, u64le(0), u64le(1)})))},
      {"invalid CompiledCircuit payload: step 0: unknown rotation kind 4",
       error_of(decode_compiled_circuit(cat({plan_head, u64le(2), u64le(1), u64le(1), {1, 4}, u64le(0), u64le(0)})))},
      {"invalid CompiledCircuit payload: step 0: unknown step kind 3",
       error_of(decode_compiled_circuit(cat({plan_head, u64le(2), u64le(1), u64le(1), {3, 0}})))},
      {"invalid CompiledCircuit payload: unknown names flag 2",
       error_of(decode_compiled_circuit(cat({plan_head, u64le(2), u64le(1), u64le(0), {2}})))},
      {"invalid CompiledCircuit payload: parameter count 2 is more than the remaining 1 bytes can hold",
       error_of(decode_compiled_circuit(cat({plan_head, u64le(2), u64le(2), u64le(0), {1, 0}})))},
      {"invalid CompiledCircuit payload: parameter 0: name is not valid UTF-8",
       error_of(decode_compiled_circuit(cat({plan_head, u64le(2), u64le(1), u64le(0), {1, 1}, u64le(1), {0xFF}})))},
      {"invalid CircuitSpec payload: step 0: parameter slot 0 does not exist in this circuit spec",
       error_of(decode_circuit_spec(cat({{2, 4}, u64le(2), u64le(0), u64le(1), {1, 0}, u64le(0), u64le(0)})))},
      {"invalid CircuitSpec payload: parameter 1: name is not valid UTF-8",
       error_of(decode_circuit_spec(cat({{2, 4}, u64le(2), u64le(2), {0, 1}, u64le(2), {0xED, 0xA0}, u64le(0)})))},
      {"invalid CircuitSpec payload: parameter 0: unknown name flag 2",
       error_of(decode_circuit_spec(cat({{2, 4}, u64le(2), u64le(1), {2}, u64le(0)})))},
      {"invalid CompiledCircuit payload: step 0: pauli rotation needs at least one X, Y or Z factor",
       error_of(decode_compiled_circuit(cat({plan_head, u64le(2), u64le(1), u64le(1), {2}, u64le(0), {0, 0, 0x80, 0x3F}, u64le(0)})))},
      {"invalid CompiledCircuit payload: step 0: rotation scale must be finite",
       error_of(decode_compiled_circuit(cat({plan_head, u64le(2), u64le(1), u64le(1), {2}, u64le(0), {0, 0, 0x80, 0x7F}, u64le(1), u64le(0), {0}})))},
      {"invalid CompiledCircuit payload: step 0: qubit index 2 is out of range for 2 qubits",
       error_of(decode_compiled_circuit(cat({plan_head, u64le(2), u64le(1), u64le(1), {2}, u64le(0), {0, 0, 0x80, 0x3F}, u64le(2), u64le(0), {0}, u64le(2), {1}})))},
      {"invalid Gate payload: unknown standard gate 200",
       error_of(decode_gate(cat({gate_head, {0}, u64le(0), u64le(1), u64le(0), u64le(4), x, {1, 200}})))},
      {"invalid Gate payload: standard gate RX takes 1 angles, not 3",
       error_of(decode_gate(cat({gate_head, {0}, u64le(0), u64le(1), u64le(0), u64le(4), x, {1, static_cast<std::uint8_t>(StandardGate::kRX), 3}})))},
      {"invalid Gate payload: unknown label flag 2",
       error_of(decode_gate(cat({gate_head, {0}, u64le(0), u64le(1), u64le(0), u64le(4), x, {2}})))},
      {"invalid Observable payload: observable must contain at least one term",
       error_of(decode_observable(cat({{2, 3}, u64le(0)})))},
      {"invalid Observable payload: term 0: unknown Pauli label 3",
       error_of(decode_observable(cat({{2, 3}, u64le(1), {0, 0, 0x80, 0x3F}, u64le(1), u64le(0), {3}})))},
      {"invalid Observable payload: term 0: factor qubit 1 does not follow qubit 1 in ascending order",
       error_of(decode_observable(cat({{2, 3}, u64le(1), {0, 0, 0x80, 0x3F}, u64le(2), u64le(1), {0}, u64le(1), {2}})))},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.expected);
}

// Random mutations of valid payloads: every outcome is a value or an
// ordinary refusal naming the kind, never a read outside the payload (the
// sanitizer builds run this), and a value accepted once encodes and decodes
// again.
TEST(Serialize, FuzzedPayloadsDecodeOrAreRefused) {
  std::mt19937_64 rng(2024);
  std::vector<std::pair<Bytes, int>> seeds;  // payload, kind
  for (int i = 0; i < 6; ++i) {
    Sample s = random_sample(rng, 2 + i % 3);
    seeds.push_back({encoded(s.spec), 0});
    seeds.push_back({encoded(s.plan), 1});
    seeds.push_back({encoded(s.circuit), 2});
    seeds.push_back({encoded(s.observable), 3});
    seeds.push_back({encoded(s.circuit.gates().empty() ? Gate::barrier() : s.circuit.gates()[0]), 4});
  }
  seeds.push_back({encoded(ParameterHandle{9, "\xce\xb8"}), 5});
  const char* prefixes[] = {"invalid CircuitSpec payload: ", "invalid CompiledCircuit payload: ",
                            "invalid Circuit payload: ", "invalid Observable payload: ",
                            "invalid Gate payload: ", "invalid Parameter payload: "};
  auto check = [&](const Bytes& payload, int kind) {
    auto judge = [&](const auto& r) {
      if (r.ok()) {
        auto again = encode(*r);
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(encoded(*r), *again);
        return;
      }
      EXPECT_EQ(r.error().kind, ErrorKind::kInvalid);
      EXPECT_EQ(r.error().message.rfind(prefixes[kind], 0), 0u) << r.error().message;
    };
    // An exact-size heap copy, so that a read past the end is caught.
    auto exact = std::make_unique<std::uint8_t[]>(payload.size());
    if (!payload.empty()) std::memcpy(exact.get(), payload.data(), payload.size());
    const ByteView view(exact.get(), payload.size());
    switch (kind) {
      case 0: judge(decode_circuit_spec(view)); break;
      case 1: judge(decode_compiled_circuit(view)); break;
      case 2: judge(decode_circuit(view)); break;
      case 3: judge(decode_observable(view)); break;
      case 4: judge(decode_gate(view)); break;
      default: judge(decode_parameter(view)); break;
    }
  };
  auto any = [&](std::size_t k) { return std::uniform_int_distribution<std::size_t>(0, k - 1)(rng); };
  for (const auto& [seed, kind] : seeds) {
    for (std::size_t cut = 0; cut < seed.size(); ++cut) check(Bytes(seed.begin(), seed.begin() + cut), kind);
    for (int round = 0; round < 400; ++round) {
      Bytes p = seed;
      for (std::size_t m = 1 + any(3); m > 0 && !p.empty(); --m) {
        const std::size_t at = any(p.size());
        switch (any(5)) {
          case 0: p[at] ^= static_cast<std::uint8_t>(1u << any(8)); break;
          case 1: p[at] = static_cast<std::uint8_t>(any(256)); break;
          case 2: p.erase(p.begin() + static_cast<std::ptrdiff_t>(at)); break;
          case 3: p.insert(p.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(any(256))); break;
          default:  // a field overwritten with an extreme value
            for (std::size_t b = at; b < std::min(p.size(), at + 8); ++b) p[b] = any(2) ? 0xFF : 0x7F;
        }
      }
      check(p, kind);
    }
  }
}

}  // namespace
}  // namespace vantrel::sim
