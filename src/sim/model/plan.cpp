#include "sim/model/plan.h"

#include <algorithm>
#include <cmath>

#include "sim/model/fusion.h"

namespace vantrel::sim {

namespace {

Error qubit_out_of_range(std::uint64_t qubit, std::uint64_t num_qubits) {
  return invalid("qubit index " + dec(qubit) + " is out of range for " + dec(num_qubits) +
                 " qubits");
}

}  // namespace

CompiledCircuit::CompiledCircuit(std::vector<CompiledOp> ops, std::uint64_t num_qubits,
                                 std::uint64_t parameter_count,
                                 std::vector<std::optional<std::string>> parameter_names)
    : ops_(std::move(ops)),
      num_qubits_(num_qubits),
      parameter_count_(parameter_count),
      parameter_names_(std::move(parameter_names)) {
  for (const CompiledOp& op : ops_)
    if (op.kind == CompiledOp::Kind::kFixed &&
        (op.gate.kind == Gate::Kind::kMeasure || op.gate.kind == Gate::Kind::kReset))
      has_random_steps_ = true;
}

Result<ParameterizedCircuitSpec> ParameterizedCircuitSpec::create(std::uint64_t num_qubits) {
  if (num_qubits == 0) return invalid("compiled circuits must have at least one qubit");
  return ParameterizedCircuitSpec(num_qubits);
}

std::uint64_t ParameterizedCircuitSpec::add_parameter(std::optional<std::string> name) {
  parameter_names_.push_back(std::move(name));
  return parameter_names_.size() - 1;
}

Status ParameterizedCircuitSpec::add_fixed_gate(Gate gate) {
  switch (gate.kind) {
    case Gate::Kind::kUnitary:
      for (std::uint64_t t : gate.op.targets)
        if (t >= num_qubits_) return qubit_out_of_range(t, num_qubits_);
      break;
    case Gate::Kind::kMeasure:
    case Gate::Kind::kReset:
      if (gate.qubit >= num_qubits_) return qubit_out_of_range(gate.qubit, num_qubits_);
      break;
    case Gate::Kind::kBarrier:
      break;
  }
  ops_.push_back(CompiledOp::fixed(std::move(gate)));
  return Status::Ok();
}

Status ParameterizedCircuitSpec::add_param_single(RotationKind kind, std::uint64_t target,
                                                  std::uint64_t slot) {
  if (target >= num_qubits_) return qubit_out_of_range(target, num_qubits_);
  if (slot >= parameter_count())
    return invalid("parameter slot " + dec(slot) + " does not exist in this circuit spec");
  ops_.push_back(CompiledOp::param(kind, target, slot));
  return Status::Ok();
}

Status ParameterizedCircuitSpec::add_pauli_rotation(std::vector<RotationFactor> paulis,
                                                    std::uint64_t slot, float scale) {
  {
    // The duplicate check of Pauli terms (earliest factor with a later
    // duplicate, in O(k log k)), over every factor given; labels play no part.
    std::vector<PauliFactor> all;
    all.reserve(paulis.size());
    for (const RotationFactor& f : paulis) all.push_back({f.qubit, PauliLabel::kZ});
    auto distinct = PauliTerm::create(std::move(all), 1.0f);
    if (!distinct.ok()) return std::move(distinct).error();
  }
  for (const RotationFactor& f : paulis)
    if (f.qubit >= num_qubits_) return qubit_out_of_range(f.qubit, num_qubits_);
  std::vector<PauliFactor> factors;
  for (const RotationFactor& f : paulis)
    if (f.label) factors.push_back({f.qubit, *f.label});
  if (factors.empty()) return invalid("pauli rotation needs at least one X, Y or Z factor");
  if (slot >= parameter_count())
    return invalid("parameter slot " + dec(slot) + " does not exist in this circuit spec");
  if (!std::isfinite(scale)) return invalid("rotation scale must be finite");

  if (factors.size() == 1 && scale == 1.0f) {
    // exp(-i theta/2 P) for one factor is exactly RX, RY or RZ: the same step,
    // so the same bits on every path.
    static constexpr RotationKind kKinds[] = {RotationKind::kRX, RotationKind::kRY,
                                              RotationKind::kRZ};
    const PauliFactor f = factors[0];
    ops_.push_back(CompiledOp::param(kKinds[static_cast<int>(f.label)], f.qubit, slot));
    return Status::Ok();
  }
  std::sort(factors.begin(), factors.end(),
            [](const PauliFactor& a, const PauliFactor& b) { return a.qubit < b.qubit; });
  ops_.push_back(CompiledOp::pauli_rotation(std::move(factors), slot, scale));
  return Status::Ok();
}

CompiledCircuit ParameterizedCircuitSpec::compile() const {
  std::vector<CompiledOp> out;
  std::vector<Gate> pending;
  // Fixed gates are fused only within a stretch free of parametric steps.
  auto flush = [&] {
    if (pending.empty()) return;
    for (Gate& g : fuse_gates(pending)) out.push_back(CompiledOp::fixed(std::move(g)));
    pending.clear();
  };
  for (const CompiledOp& op : ops_) {
    if (op.is_parametric()) {
      flush();
      out.push_back(op);
    } else {
      pending.push_back(op.gate);
    }
  }
  flush();
  return CompiledCircuit(std::move(out), num_qubits_, parameter_count(), parameter_names_);
}

}  // namespace vantrel::sim
