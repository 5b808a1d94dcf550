// A compact, versioned binary encoding of the engine's values, the state that
// the Python classes pickle.
//
// Layout: byte 0 is the format version (kEncodingVersion), byte 1 the tag of
// the value kind (ValueTag), then the value's fields in a fixed order, every
// field fixed-width and little-endian: u8 for kinds and labels, u64 for
// counts, qubit indices, slots and the qubit count, f32 and f64 as their
// IEEE bit patterns (signed zeros and NaN payloads kept, so a decoded value
// computes the same bits). A count always precedes the items it counts.
//
//   Gate       u8 kind (0 unitary, 1 measure, 2 reset, 3 barrier, 4 channel), then
//              unitary: u64 controls, u64 k, k x u64 qubit (the controls first),
//                       u64 entries, entries x (f32 re, f32 im), then
//                       entries x (f64 re, f64 im) (the single and the double
//                       matrix on the qubits after the controls), Label
//              measure, reset: u64 qubit
//              channel (version 3): u8 channel kind (ChannelKind), u64 k,
//                       k x u64 qubit, then for Kraus u64 count, count x
//                       (u64 entries, entries x (f64 re, f64 im)), otherwise
//                       u64 count, count x f64 probability
//   Label      u8 0 (none), or u8 1, u8 standard gate, u8 angles, angles x f64
//   Circuit    u64 count, count x Gate (the list as the circuit holds it:
//              fused gates stay fused, nothing is fused again)
//   Factors    u64 count, count x (u64 qubit, u8 label 0 X, 1 Y, 2 Z), qubits ascending
//   Observable u64 terms, per term: f64 coefficient, Factors
//   Step       u8 kind (0 fixed, 1 parametric, 2 Pauli rotation), then
//              fixed: Gate; parametric: u8 rotation (0 RX .. 3 P), u64 target, u64 slot;
//              Pauli rotation: u64 slot, f64 scale, Factors
//   Spec       u64 num_qubits, u64 parameters, parameters x Name, u64 steps, steps x Step
//   Plan       u64 num_qubits, u64 parameter_count, u64 steps, steps x Step
//              (the compiled steps as they are: fused steps are not recompiled),
//              then u8 0 (no names kept), or u8 1 and parameter_count x Name
//              (the slots' names, for display), then u8 precision (0 single,
//              1 double)
//   Parameter  u64 index, Name
//   Name       u8 0 (no name), or u8 1, u64 length, length bytes of UTF-8
//
// Decoding is input handling: payloads may be truncated, corrupted, of
// another version or forged. A decoder reads only within the payload, sizes
// every allocation by what the remaining bytes can hold (a count is refused
// before anything is reserved for it; a list is then reserved once, for as
// many values as its count and the remaining bytes allow, a run of barriers
// being one value), and validates every field as the value's constructors would:
// qubit lists and matrices through Operation::create or
// make_controlled_unitary_gate, gate labels against the standard gate table
// and against the gate's own matrix (label_agrees), plans through
// CompiledCircuit::create, factor order, tags, UTF-8 of names, and no
// trailing bytes. Every check is linear or O(k log k) in what it reads,
// except the unitarity test of a matrix (cubic in its dimension, as for any
// constructor). Decoding polls the thread's Interrupt between items and the
// unitarity test between rows, returning interrupted() once asked to stop.
// Every refusal is a kInvalid error "invalid {Kind} payload: {what}", with
// the position of the offending item ("step 3: ...") where there is one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/run/circuit.h"
#include "sim/model/observable.h"
#include "sim/model/operation.h"
#include "sim/model/plan.h"
#include "sim/base/result.h"

namespace vantrel::sim {

// Version 2: plans end with the names of their slots.
// Version 3: numbers in double (both matrices of a unitary), plans end with
// their precision. Decoders still read version 2, where every real number is
// an f32, a unitary has its single matrix only (the double one is made as
// its constructor makes it: from its label, or widened) and every plan is
// single precision.
inline constexpr std::uint8_t kEncodingVersion = 3;
inline constexpr std::uint8_t kOldestEncodingVersion = 2;

enum class ValueTag : std::uint8_t {
  kGate = 1,
  kCircuit = 2,
  kObservable = 3,
  kCircuitSpec = 4,
  kCompiledCircuit = 5,
  kParameter = 6,
};

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// What a parameter handle holds: its slot and a copy of its name.
struct ParameterHandle {
  std::uint64_t index = 0;
  std::optional<std::string> name;
};

// Each encoder measures the value first and allocates the payload once;
// kOutOfMemory when that allocation fails.
Result<Bytes> encode(const Gate& gate);
Result<Bytes> encode(const Circuit& circuit);
Result<Bytes> encode(const Observable& observable);
Result<Bytes> encode(const ParameterizedCircuitSpec& spec);
Result<Bytes> encode(const CompiledCircuit& plan);
Result<Bytes> encode(const ParameterHandle& parameter);

Result<Gate> decode_gate(ByteView payload);
Result<Circuit> decode_circuit(ByteView payload);
Result<Observable> decode_observable(ByteView payload);
Result<ParameterizedCircuitSpec> decode_circuit_spec(ByteView payload);
Result<CompiledCircuit> decode_compiled_circuit(ByteView payload);
Result<ParameterHandle> decode_parameter(ByteView payload);

}  // namespace vantrel::sim
