#include "sim/model/plan.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "sim/base/messages.h"
#include "sim/model/channel.h"
#include "sim/model/fusion.h"

namespace vantrel::sim {

using messages::qubit_out_of_range;

namespace {

// Finite in double and once rounded to single precision.
bool scale_is_finite(double scale) { return std::isfinite(static_cast<float>(scale)); }

}  // namespace

CompiledCircuit::CompiledCircuit(std::vector<CompiledOp> ops, std::uint64_t num_qubits,
                                 std::uint64_t parameter_count,
                                 ParameterNames parameter_names, Precision precision)
    : ops_(std::move(ops)),
      num_qubits_(num_qubits),
      parameter_count_(parameter_count),
      parameter_names_(std::move(parameter_names)),
      precision_(precision) {
  for (std::size_t k = 0; k < ops_.size(); ++k) {
    const CompiledOp& op = ops_[k];
    if (op.kind != CompiledOp::Kind::kFixed) continue;
    const Gate::Kind kind = op.gate.kind;
    if (kind == Gate::Kind::kMeasure || kind == Gate::Kind::kReset || kind == Gate::Kind::kChannel)
      has_random_steps_ = true;
    if (kind == Gate::Kind::kChannel && first_channel_ == SIZE_MAX) first_channel_ = k;
  }
}

Status CompiledCircuit::refuse_channels() const {
  if (!has_channels()) return Status::Ok();
  // Its position in the plan as listed, each barrier of a run counted.
  const std::uint64_t step =
      listed_size(std::span<const CompiledOp>(ops_).first(first_channel_));
  return invalid("step " + dec(step) + " is a noise channel (" +
                 channel_name(ops_[first_channel_].gate.channel->kind) +
                 "); this needs a pure, deterministic run: use sample or noisy_expectation");
}

Result<CompiledCircuit> CompiledCircuit::create(
    std::vector<CompiledOp> ops, std::uint64_t num_qubits, std::uint64_t parameter_count,
    ParameterNames parameter_names, Precision precision) {
  if (num_qubits == 0) return messages::plan_without_qubits();
  std::uint64_t position = 0;  // of the step in the list as written
  for (const CompiledOp& op : ops) {
    Status step = check_step(op, num_qubits, parameter_count);
    if (!step.ok()) {
      Error e = std::move(step).error();
      e.message = "step " + dec(position) + ": " + e.message;
      return e;
    }
    position += op.multiplicity();
  }
  if (!parameter_names.empty() && parameter_names.size() != parameter_count)
    return invalid(dec(parameter_names.size()) + " parameter names for " + dec(parameter_count) +
                   " parameters");
  return CompiledCircuit(std::move(ops), num_qubits, parameter_count, std::move(parameter_names),
                         precision);
}

Status CompiledCircuit::check_step(const CompiledOp& op, std::uint64_t num_qubits,
                                   std::uint64_t parameter_count) {
  switch (op.kind) {
    case CompiledOp::Kind::kParam:
      if (op.target >= num_qubits) return qubit_out_of_range(op.target, num_qubits);
      if (op.slot >= parameter_count) return messages::no_such_slot(op.slot);
      return Status::Ok();
    case CompiledOp::Kind::kPauliRotation:
      if (op.paulis.empty()) return messages::empty_pauli_rotation();
      for (std::size_t j = 0; j < op.paulis.size(); ++j) {
        const std::uint64_t q = op.paulis[j].qubit;
        if (q >= num_qubits) return qubit_out_of_range(q, num_qubits);
        if (j > 0 && q <= op.paulis[j - 1].qubit)
          return invalid("pauli rotation factors must be on ascending, distinct qubits");
      }
      if (op.slot >= parameter_count) return messages::no_such_slot(op.slot);
      if (!scale_is_finite(op.scale)) return messages::rotation_scale_not_finite();
      return Status::Ok();
    case CompiledOp::Kind::kFixed:
      break;
  }
  const Gate& g = op.gate;
  switch (g.kind) {
    case Gate::Kind::kUnitary:
      for (std::uint64_t t : g.op.targets)
        if (t >= num_qubits) return qubit_out_of_range(t, num_qubits);
      break;
    case Gate::Kind::kMeasure:
    case Gate::Kind::kReset:
      if (g.qubit >= num_qubits) return qubit_out_of_range(g.qubit, num_qubits);
      break;
    case Gate::Kind::kBarrier:
      break;
    case Gate::Kind::kChannel:
      for (std::uint64_t t : g.channel->targets)
        if (t >= num_qubits) return qubit_out_of_range(t, num_qubits);
      break;
  }
  return Status::Ok();
}

void append_step(std::vector<CompiledOp>& ops, CompiledOp op) {
  if (!ops.empty() && op.kind == CompiledOp::Kind::kFixed &&
      ops.back().kind == CompiledOp::Kind::kFixed && join_barriers(ops.back().gate, op.gate))
    return;
  ops.push_back(std::move(op));
}

std::uint64_t listed_size(std::span<const CompiledOp> ops) {
  std::uint64_t n = 0;
  for (const CompiledOp& op : ops) n += op.multiplicity();
  return n;
}

Result<ParameterizedCircuitSpec> ParameterizedCircuitSpec::create(std::uint64_t num_qubits) {
  if (num_qubits == 0) return messages::plan_without_qubits();
  return ParameterizedCircuitSpec(num_qubits);
}

std::uint64_t ParameterizedCircuitSpec::add_parameter(std::optional<std::string> name) {
  parameter_names_.push_back(std::move(name));
  return parameter_names_.size() - 1;
}

Status ParameterizedCircuitSpec::add_fixed_gate(Gate gate) {
  CompiledOp op = CompiledOp::fixed(std::move(gate));
  VANTREL_TRY(CompiledCircuit::check_step(op, num_qubits_, parameter_count()));
  append_step(ops_, std::move(op));
  return Status::Ok();
}

Status ParameterizedCircuitSpec::add_param_single(RotationKind kind, std::uint64_t target,
                                                  std::uint64_t slot) {
  if (target >= num_qubits_) return qubit_out_of_range(target, num_qubits_);
  if (slot >= parameter_count())
    return messages::no_such_slot(slot);
  ops_.push_back(CompiledOp::param(kind, target, slot));
  return Status::Ok();
}

Status ParameterizedCircuitSpec::add_pauli_rotation(std::vector<RotationFactor> paulis,
                                                    std::uint64_t slot, double scale) {
  {
    // The duplicate check of Pauli terms (earliest factor with a later
    // duplicate, in O(k log k)), over every factor given; labels play no part.
    std::vector<PauliFactor> all;
    all.reserve(paulis.size());
    for (const RotationFactor& f : paulis) all.push_back({f.qubit, PauliLabel::kZ});
    auto distinct = PauliTerm::create(std::move(all), 1.0);
    if (!distinct.ok()) return std::move(distinct).error();
  }
  for (const RotationFactor& f : paulis)
    if (f.qubit >= num_qubits_) return qubit_out_of_range(f.qubit, num_qubits_);
  std::vector<PauliFactor> factors;
  for (const RotationFactor& f : paulis)
    if (f.label) factors.push_back({f.qubit, *f.label});
  if (factors.empty()) return messages::empty_pauli_rotation();
  if (slot >= parameter_count())
    return messages::no_such_slot(slot);
  if (!scale_is_finite(scale)) return messages::rotation_scale_not_finite();

  if (factors.size() == 1 && scale == 1.0) {
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

CompiledCircuit ParameterizedCircuitSpec::compile(Precision precision) const {
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
  // The builder's checks give every step the plan's invariants, and fusion
  // keeps them (it only multiplies one-qubit gates on one qubit): a refusal
  // here is a broken invariant, surfaced as an internal failure.
  auto plan = CompiledCircuit::create(std::move(out), num_qubits_, parameter_count(),
                                      parameter_names_, precision);
  if (!plan.ok()) throw std::logic_error("compile: " + plan.error().message);
  return std::move(plan).value();
}

}  // namespace vantrel::sim
