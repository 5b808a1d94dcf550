// Parameterized circuit specifications and their compiled plans.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/operation.h"
#include "sim/result.h"

namespace vantrel::sim {

enum class RotationKind : std::uint8_t { kRX = 0, kRY = 1, kRZ = 2, kP = 3 };

// One plan step: a fixed gate, or a one-qubit rotation whose angle is
// parameter slot `slot`.
struct CompiledOp {
  enum class Kind : std::uint8_t { kFixed, kParam };
  Kind kind = Kind::kFixed;
  Gate gate;                 // kFixed
  std::uint64_t target = 0;  // kParam
  std::uint64_t slot = 0;    // kParam
  RotationKind rotation = RotationKind::kRX;  // kParam

  static CompiledOp fixed(Gate g) { return CompiledOp{Kind::kFixed, std::move(g), 0, 0, {}}; }
  static CompiledOp param(RotationKind r, std::uint64_t target, std::uint64_t slot) {
    return CompiledOp{Kind::kParam, Gate::barrier(), target, slot, r};
  }
};

// The immutable plan. Read concurrently without locking.
class CompiledCircuit {
 public:
  // Takes the steps as they are: nothing is validated here (compile() builds
  // only plans whose steps fit `num_qubits`; a step that does not fit fails
  // when it runs).
  CompiledCircuit(std::vector<CompiledOp> ops, std::uint64_t num_qubits,
                  std::uint64_t parameter_count);

  const std::vector<CompiledOp>& ops() const { return ops_; }
  std::uint64_t num_qubits() const { return num_qubits_; }
  std::uint64_t parameter_count() const { return parameter_count_; }
  // True when some step measures or resets a qubit (and so draws random numbers).
  bool has_random_steps() const { return has_random_steps_; }

 private:
  std::vector<CompiledOp> ops_;
  std::uint64_t num_qubits_;
  std::uint64_t parameter_count_;
  bool has_random_steps_ = false;
};

class ParameterizedCircuitSpec {
 public:
  // "compiled circuits must have at least one qubit" for 0.
  static Result<ParameterizedCircuitSpec> create(std::uint64_t num_qubits);

  // Registers a parameter and returns its slot.
  std::uint64_t add_parameter(std::optional<std::string> name);
  // "qubit index {} is out of range for {} qubits"; the spec is unchanged on error.
  Status add_fixed_gate(Gate gate);
  // Qubit range first, then "parameter slot {} does not exist in this circuit spec".
  Status add_param_single(RotationKind kind, std::uint64_t target, std::uint64_t slot);
  // Fuses fixed stretches between parametric steps; never fails.
  CompiledCircuit compile() const;

  std::uint64_t num_qubits() const { return num_qubits_; }
  std::uint64_t parameter_count() const { return parameter_names_.size(); }
  const std::vector<CompiledOp>& ops() const { return ops_; }

 private:
  explicit ParameterizedCircuitSpec(std::uint64_t n) : num_qubits_(n) {}
  std::vector<std::optional<std::string>> parameter_names_;
  std::vector<CompiledOp> ops_;
  std::uint64_t num_qubits_;
};

}  // namespace vantrel::sim
