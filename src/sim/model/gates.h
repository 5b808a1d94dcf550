// Gates of the standard table (gate_table.h), built with their matrices from
// the table and labelled with the entry and the angles they were made from.
// The one-off Gate constructors and CircuitSpec's fixed gates build through
// these.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/model/gate_table.h"
#include "sim/model/operation.h"
#include "sim/base/result.h"

namespace vantrel::sim {

// The matrix in T a gate labelled `label` carries, on the qubits after its
// controls: the entry's matrix at the label's angles (each rounded to T);
// for a controlled U, times its global phase (the fourth angle, or exactly
// (1, 0) without one, as apply_global_phase does). The builders below make
// both their matrices here, and the decoder checks a payload's labels
// against it.
template <class T = float>
std::vector<ComplexOf<T>> labelled_matrix(const GateLabel& label, bool controlled);

// Whether `gate` (a unitary) carries exactly the matrices its label names
// (both precisions), on as many qubits as the entry takes; a gate without a
// label agrees.
bool label_agrees(const Gate& gate);

// The standard gate on `qubits` (the first one the high bit of its matrix)
// at `angles` (as many as the entry takes), through Operation::create and
// with its errors.
Result<Gate> make_standard_gate(StandardGate gate, std::vector<std::uint64_t> qubits,
                                std::span<const double> angles = {});

// The standard gate's matrix on `targets` controlled by `controls`, through
// make_controlled_unitary_gate and with its errors; the label names the
// entry (the controls are the operation's own).
Result<Gate> make_controlled_standard_gate(StandardGate gate, std::vector<std::uint64_t> controls,
                                           std::vector<std::uint64_t> targets,
                                           std::span<const double> angles = {});

// U(theta, phi, lambda) times the global phase e^(i gamma) (apply_global_phase:
// exactly (1, 0) without gamma) on `targets`, controlled by `controls`;
// labelled U with gamma as a fourth angle when given.
Result<Gate> make_controlled_u_gate(std::vector<std::uint64_t> controls,
                                    std::vector<std::uint64_t> targets, double theta, double phi,
                                    double lambda, std::optional<double> gamma);

}  // namespace vantrel::sim
