#include "sim/plan.h"

#include "sim/fusion.h"

namespace vantrel::sim {

namespace {

Error qubit_out_of_range(std::uint64_t qubit, std::uint64_t num_qubits) {
  return invalid("qubit index " + dec(qubit) + " is out of range for " + dec(num_qubits) +
                 " qubits");
}

}  // namespace

CompiledCircuit::CompiledCircuit(std::vector<CompiledOp> ops, std::uint64_t num_qubits,
                                 std::uint64_t parameter_count)
    : ops_(std::move(ops)), num_qubits_(num_qubits), parameter_count_(parameter_count) {
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
    if (op.kind == CompiledOp::Kind::kParam) {
      flush();
      out.push_back(op);
    } else {
      pending.push_back(op.gate);
    }
  }
  flush();
  return CompiledCircuit(std::move(out), num_qubits_, parameter_count());
}

}  // namespace vantrel::sim
