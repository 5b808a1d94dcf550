// Parameterized circuit specifications and their compiled plans.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/model/observable.h"
#include "sim/model/operation.h"
#include "sim/model/parameter_names.h"
#include "sim/base/precision.h"
#include "sim/base/result.h"

namespace vantrel::sim {

enum class RotationKind : std::uint8_t { kRX = 0, kRY = 1, kRZ = 2, kP = 3 };

// One plan step: a fixed gate; a one-qubit rotation whose angle is
// parameter slot `slot`; or a Pauli-string rotation exp(-i phi/2 P) whose
// angle phi is scale times the value of slot `slot`. Plain data throughout.
struct CompiledOp {
  enum class Kind : std::uint8_t { kFixed, kParam, kPauliRotation };
  Kind kind = Kind::kFixed;
  RotationKind rotation = RotationKind::kRX;  // kParam (beside kind: no padding of its own)
  Gate gate;                 // kFixed
  std::uint64_t target = 0;  // kParam
  std::uint64_t slot = 0;    // kParam and kPauliRotation
  // kPauliRotation: the factors of P (no identity factors, distinct qubits,
  // ascending, at least one) and the scale of the angle, as given (finite
  // also once rounded to single precision, which single-precision runs use).
  std::vector<PauliFactor> paulis;
  double scale = 1.0;

  // Steps whose angle comes from a parameter slot.
  bool is_parametric() const { return kind != Kind::kFixed; }
  // How many steps this value stands for (a run of barriers: its barriers).
  std::uint64_t multiplicity() const { return kind == Kind::kFixed ? gate.multiplicity() : 1; }

  static CompiledOp fixed(Gate g) { return CompiledOp{Kind::kFixed, RotationKind::kRX, std::move(g), 0, 0, {}, 1.0}; }
  static CompiledOp param(RotationKind r, std::uint64_t target, std::uint64_t slot) {
    return CompiledOp{Kind::kParam, r, Gate::barrier(), target, slot, {}, 1.0};
  }
  static CompiledOp pauli_rotation(std::vector<PauliFactor> paulis, std::uint64_t slot,
                                   double scale) {
    return CompiledOp{Kind::kPauliRotation, RotationKind::kRX, Gate::barrier(), 0, slot,
                      std::move(paulis), scale};
  }
};

// Appends `op` to `ops`, a barrier joining the run of barriers that ends
// the list (join_barriers): what every builder of a step list uses.
void append_step(std::vector<CompiledOp>& ops, CompiledOp op);
// The number of steps `ops` stands for (a run of barriers counting its
// barriers): the length of the list as written and drawn.
std::uint64_t listed_size(std::span<const CompiledOp> ops);

// One factor of a rotation's Pauli string as the caller gives it: the
// identity on `qubit` when `label` is empty.
struct RotationFactor {
  std::uint64_t qubit = 0;
  std::optional<PauliLabel> label;
};

// The immutable plan. Read concurrently without locking.
class CompiledCircuit {
 public:
  // The plan after checking every invariant that compile() gives it: at
  // least one qubit; each step as check_step says, refused as "step {i}:
  // {why}" for the first that fails; no names, or one per slot.
  // `parameter_names` name the slots for display only. compile() and the
  // decoder build plans through here.
  static Result<CompiledCircuit> create(std::vector<CompiledOp> ops, std::uint64_t num_qubits,
                                        std::uint64_t parameter_count,
                                        ParameterNames parameter_names = {},
                                        Precision precision = Precision::kSingle);

  // One step of a plan of `num_qubits` qubits reading `parameter_count`
  // slots: every qubit it names below num_qubits ("qubit index {} is out of
  // range for {} qubits"), its slot below parameter_count ("parameter slot
  // {} does not exist in this circuit spec"); a Pauli rotation with at least
  // one factor, on strictly ascending qubits, and a finite scale. Its gate,
  // if any, is taken as its constructors made it.
  static Status check_step(const CompiledOp& op, std::uint64_t num_qubits,
                           std::uint64_t parameter_count);

  // Takes the steps as they are, unchecked: for tests that need a plan no
  // constructor would make (a step that does not fit fails when it runs).
  CompiledCircuit(std::vector<CompiledOp> ops, std::uint64_t num_qubits,
                  std::uint64_t parameter_count,
                  ParameterNames parameter_names = {},
                  Precision precision = Precision::kSingle);

  const std::vector<CompiledOp>& ops() const { return ops_; }
  std::uint64_t num_qubits() const { return num_qubits_; }
  std::uint64_t parameter_count() const { return parameter_count_; }
  // The names the slots were declared with in the circuit spec (for display;
  // no computation reads them). Empty when the plan was made without names.
  const ParameterNames& parameter_names() const {
    return parameter_names_;
  }
  // True when some step measures or resets a qubit or is a noise channel (and
  // so draws random numbers).
  bool has_random_steps() const { return has_random_steps_; }
  // The precision the plan was compiled for. The steps hold the numbers of
  // both; the runners compute in the scalar type they are called with, and
  // callers call the one this names.
  Precision precision() const { return precision_; }
  // True when some step is a noise channel.
  bool has_channels() const { return first_channel_ != SIZE_MAX; }
  // kInvalid naming the first channel step, for the routes that need a pure,
  // deterministic run: "step {k} is a noise channel ({Name}); ..."; Ok for a
  // plan without channels.
  Status refuse_channels() const;

 private:
  std::vector<CompiledOp> ops_;
  std::uint64_t num_qubits_;
  std::uint64_t parameter_count_;
  ParameterNames parameter_names_;
  bool has_random_steps_ = false;
  Precision precision_ = Precision::kSingle;
  std::size_t first_channel_ = SIZE_MAX;
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
  // The rotation exp(-i scale theta/2 P), theta being the value of `slot` and
  // P the product of `paulis` (identity factors allowed and dropped). Checks,
  // in order: "duplicate qubit index: {}" (over all factors given, as for
  // Pauli terms), "qubit index {} is out of range for {} qubits" (the first
  // factor in the given order), "pauli rotation needs at least one X, Y or Z
  // factor", "parameter slot {} does not exist in this circuit spec",
  // "rotation scale must be finite" (in double, and once rounded to single
  // precision). A single factor with scale 1 becomes the step of that
  // one-qubit rotation (RX, RY or RZ), with its bits.
  Status add_pauli_rotation(std::vector<RotationFactor> paulis, std::uint64_t slot,
                            double scale);
  // Room for `named` more named parameters and `steps` more step values (a
  // run of barriers being one value), for a decoder that knows its counts;
  // they must be no more than the caller will add.
  void reserve(std::size_t named, std::size_t steps) {
    parameter_names_.reserve_named(named);
    ops_.reserve(ops_.size() + steps);
  }
  // Fuses fixed stretches between parametric steps; never fails. The plan
  // records `precision`.
  CompiledCircuit compile(Precision precision = Precision::kSingle) const;

  std::uint64_t num_qubits() const { return num_qubits_; }
  std::uint64_t parameter_count() const { return parameter_names_.size(); }
  const ParameterNames& parameter_names() const {
    return parameter_names_;
  }
  const std::vector<CompiledOp>& ops() const { return ops_; }

 private:
  explicit ParameterizedCircuitSpec(std::uint64_t n) : num_qubits_(n) {}
  ParameterNames parameter_names_;
  std::vector<CompiledOp> ops_;
  std::uint64_t num_qubits_;
};

}  // namespace vantrel::sim
