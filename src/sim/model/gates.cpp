#include "sim/model/gates.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vantrel::sim {
namespace {

Result<Gate> labelled(Result<Gate> gate, const GateLabel& label) {
  if (gate.ok()) gate->label = label;
  return gate;
}

}  // namespace

std::vector<Complex> labelled_matrix(const GateLabel& label, bool controlled) {
  const std::span<const float> angles = label.angle_values();
  const bool u = label.gate == StandardGate::kU;
  std::vector<Complex> m = standard_matrix(label.gate, u ? angles.first(std::min<std::size_t>(angles.size(), 3)) : angles);
  if (u && controlled)
    apply_global_phase(m, angles.size() == 4 ? std::optional<float>(angles[3]) : std::nullopt);
  return m;
}

bool label_agrees(const Gate& gate) {
  if (!gate.label) return true;
  const GateLabel& label = *gate.label;
  const StandardGateInfo& info = standard_gate_info(label.gate);
  const bool controlled = gate.op.num_controls > 0;
  // Only a controlled U carries a global phase as a fourth angle.
  const std::size_t angles = label.gate == StandardGate::kU && controlled ? 3 + (label.num_angles == 4) : info.angles;
  if (label.num_angles != angles) return false;
  if (gate.op.targets.size() - gate.op.num_controls != info.qubits) return false;
  const std::vector<Complex> m = labelled_matrix(label, controlled);
  return m.size() == gate.op.matrix.size() &&
         std::memcmp(m.data(), gate.op.matrix.data(), m.size() * sizeof(Complex)) == 0;
}

Result<Gate> make_standard_gate(StandardGate gate, std::vector<std::uint64_t> qubits,
                                std::span<const float> angles) {
  const GateLabel label = GateLabel::of(gate, angles);
  auto op = Operation::create(std::move(qubits), labelled_matrix(label, false));
  if (!op.ok()) return std::move(op).error();
  return Gate::unitary(std::move(op).value(), label);
}

Result<Gate> make_controlled_standard_gate(StandardGate gate, std::vector<std::uint64_t> controls,
                                           std::vector<std::uint64_t> targets,
                                           std::span<const float> angles) {
  const GateLabel label = GateLabel::of(gate, angles);
  return labelled(make_controlled_unitary_gate(std::move(controls), std::move(targets),
                                               labelled_matrix(label, true)),
                  label);
}

Result<Gate> make_controlled_u_gate(std::vector<std::uint64_t> controls,
                                    std::vector<std::uint64_t> targets, float theta, float phi,
                                    float lambda, std::optional<float> gamma) {
  const float angles[4] = {theta, phi, lambda, gamma.value_or(0.0f)};
  return make_controlled_standard_gate(StandardGate::kU, std::move(controls), std::move(targets),
                                       std::span<const float>(angles, gamma ? 4 : 3));
}

}  // namespace vantrel::sim
