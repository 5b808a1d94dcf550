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

template <class T>
std::vector<ComplexOf<T>> labelled_matrix(const GateLabel& label, bool controlled) {
  T values[4];
  for (std::size_t i = 0; i < label.num_angles; ++i) values[i] = static_cast<T>(label.angles[i]);
  const std::span<const T> angles(values, label.num_angles);
  const bool u = label.gate == StandardGate::kU;
  std::vector<ComplexOf<T>> m = standard_matrix<T>(
      label.gate, u ? angles.first(std::min<std::size_t>(angles.size(), 3)) : angles);
  if (u && controlled)
    apply_global_phase<T>(m, angles.size() == 4 ? std::optional<T>(angles[3]) : std::nullopt);
  return m;
}
template std::vector<Complex> labelled_matrix<float>(const GateLabel&, bool);
template std::vector<ComplexD> labelled_matrix<double>(const GateLabel&, bool);

bool label_agrees(const Gate& gate) {
  if (!gate.label) return true;
  const GateLabel& label = *gate.label;
  const StandardGateInfo& info = standard_gate_info(label.gate);
  const bool controlled = gate.op.num_controls > 0;
  // Only a controlled U carries a global phase as a fourth angle.
  const std::size_t angles = label.gate == StandardGate::kU && controlled ? 3 + (label.num_angles == 4) : info.angles;
  if (label.num_angles != angles) return false;
  if (gate.op.targets.size() - gate.op.num_controls != info.qubits) return false;
  const std::vector<Complex> m = labelled_matrix<float>(label, controlled);
  const std::vector<ComplexD> m_d = labelled_matrix<double>(label, controlled);
  return m.size() == gate.op.matrix.size() && m_d.size() == gate.op.matrix_d.size() &&
         std::memcmp(m.data(), gate.op.matrix.data(), m.size() * sizeof(Complex)) == 0 &&
         std::memcmp(m_d.data(), gate.op.matrix_d.data(), m_d.size() * sizeof(ComplexD)) == 0;
}

Result<Gate> make_standard_gate(StandardGate gate, std::vector<std::uint64_t> qubits,
                                std::span<const double> angles) {
  const GateLabel label = GateLabel::of(gate, angles);
  auto op = Operation::create(std::move(qubits), labelled_matrix<float>(label, false),
                              labelled_matrix<double>(label, false));
  if (!op.ok()) return std::move(op).error();
  return Gate::unitary(std::move(op).value(), label);
}

Result<Gate> make_controlled_standard_gate(StandardGate gate, std::vector<std::uint64_t> controls,
                                           std::vector<std::uint64_t> targets,
                                           std::span<const double> angles) {
  const GateLabel label = GateLabel::of(gate, angles);
  return labelled(make_controlled_unitary_gate(std::move(controls), std::move(targets),
                                               labelled_matrix<float>(label, true),
                                               labelled_matrix<double>(label, true)),
                  label);
}

Result<Gate> make_controlled_u_gate(std::vector<std::uint64_t> controls,
                                    std::vector<std::uint64_t> targets, double theta, double phi,
                                    double lambda, std::optional<double> gamma) {
  const double angles[4] = {theta, phi, lambda, gamma.value_or(0.0)};
  return make_controlled_standard_gate(StandardGate::kU, std::move(controls), std::move(targets),
                                       std::span<const double>(angles, gamma ? 4 : 3));
}

}  // namespace vantrel::sim
