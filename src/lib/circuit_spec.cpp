// CircuitSpec and Parameter.
//
// Builder methods borrow the spec exclusively, compile and the attributes
// shared. All of them run with the interpreter lock held: building is cheap
// next to evaluation. A failed call leaves the spec as it was (the engine
// validates before it appends).
#include "lib/circuit_spec.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lib/args.h"
#include "lib/compiled.h"
#include "lib/draw.h"
#include "lib/errors.h"
#include "lib/gate.h"
#include "lib/observable.h"
#include "lib/pickling.h"
#include "lib/py.h"
#include "lib/standard_gates.h"
#include "sim/model/gates.h"
#include "sim/model/operation.h"

namespace vantrel::lib {
namespace {

PyObject* append(PyCircuitSpec& self, sim::Result<sim::Gate>&& gate) {
  if (!gate) return raise(gate.error());
  sim::Status status = self.value.add_fixed_gate(std::move(*gate));
  if (!status) return raise(status.error());
  Py_RETURN_NONE;
}

PyObject* spec_new(std::uint64_t num_qubits) {
  sim::Result<sim::ParameterizedCircuitSpec> spec =
      sim::ParameterizedCircuitSpec::create(num_qubits);
  if (!spec) return raise(spec.error());
  return new_instance<PyCircuitSpec>(std::move(*spec));
}

PyObject* spec_param(PyCircuitSpec& self, std::optional<std::string> name) {
  const std::uint64_t slot = self.value.add_parameter(name);
  return new_instance<PyParameter>(ParameterValue{slot, std::move(name)});
}

// A row of the constructor table offered here, appended as a fixed step.
template <std::size_t I, class... A>
struct SpecStandardGate {
  static PyObject* call(PyCircuitSpec& self, A... args) {
    return append(self, build_standard_row<I>(std::move(args)...));
  }
};

template <sim::RotationKind K>
PyObject* spec_rotation(PyCircuitSpec& self, std::uint64_t target, Shared<PyParameter> param) {
  sim::Status status = self.value.add_param_single(K, target, param->value.index);
  if (!status) return raise(status.error());
  Py_RETURN_NONE;
}

// A copy of any Gate as a fixed step.
PyObject* spec_gate(PyCircuitSpec& self, Shared<PyGate> gate) {
  sim::Gate copy = gate->value;
  return append(self, std::move(copy));
}

PyObject* add_rotation(PyCircuitSpec& self, std::vector<sim::RotationFactor> factors,
                       const Shared<PyParameter>& param, double scale) {
  sim::Status status = self.value.add_pauli_rotation(std::move(factors), param->value.index, scale);
  if (!status) return raise(status.error());
  Py_RETURN_NONE;
}

// exp(-i scale theta/2 P), the labels of `paulis` read as pauli_string reads
// them, with I allowed (and dropped).
PyObject* spec_pauli_rotation(PyCircuitSpec& self, std::vector<LabeledQubit> paulis,
                              Shared<PyParameter> param, double scale) {
  std::vector<sim::RotationFactor> factors;
  factors.reserve(paulis.size());
  for (const LabeledQubit& p : paulis) {
    std::optional<sim::PauliLabel> label;
    if (!pauli_label_from_text(p.label, true, label)) return nullptr;
    factors.push_back({p.qubit, label});
  }
  return add_rotation(self, std::move(factors), param, scale);
}

// rxx, ryy, rzz: the rotation of the two-factor string L(q0) L(q1).
template <sim::PauliLabel L>
PyObject* spec_two_qubit_rotation(PyCircuitSpec& self, std::uint64_t q0, std::uint64_t q1,
                                  Shared<PyParameter> param, double scale) {
  return add_rotation(self, {{q0, L}, {q1, L}}, param, scale);
}

PyObject* spec_compile(const PyCircuitSpec& self, sim::Precision precision) {
  return new_instance<PyCompiledCircuit>(self.value.compile(precision));
}

// Builder methods may not run while the spec is read: the lock stays held.
PyObject* spec_draw(const PyCircuitSpec& self, std::uint64_t fold, bool ascii, std::string output) {
  return draw_diagram(fold, ascii, output, false, [&](const sim::DiagramOptions& options) {
    return sim::draw(self.value, options);
  });
}

PyObject* spec_num_qubits(const PyCircuitSpec& self) {
  return PyLong_FromUnsignedLongLong(self.value.num_qubits());
}

PyObject* spec_parameter_count(const PyCircuitSpec& self) {
  return PyLong_FromUnsignedLongLong(self.value.parameter_count());
}

PyObject* parameter_index(const PyParameter& self) {
  return PyLong_FromUnsignedLongLong(self.value.index);
}

PyObject* parameter_name(const PyParameter& self) {
  const std::optional<std::string>& name = self.value.name;
  if (!name) Py_RETURN_NONE;
  return PyUnicode_DecodeUTF8(name->data(), static_cast<Py_ssize_t>(name->size()), nullptr);
}

// The name as Python's repr of the string, so the text is valid Python for
// any name and plain names read Parameter(index=1, name='theta').
PyObject* parameter_repr(PyObject* obj) {
  return guarded<PyObject*>(
      [&]() -> PyObject* {
        const PyParameter& self = instance_of<PyParameter>(obj);
        const unsigned long long index = self.value.index;
        if (!self.value.name) return PyUnicode_FromFormat("Parameter(index=%llu)", index);
        PyRef name(parameter_name(self));
        if (!name) return nullptr;
        return PyUnicode_FromFormat("Parameter(index=%llu, name=%R)", index, name.get());
      },
      nullptr);
}

}  // namespace

PyTypeObject* PyCircuitSpec::type_object() {
  using sim::RotationKind;
  static PyTypeObject* type = []() -> PyTypeObject* {
    static std::vector<PyMethodDef> methods;
    methods.push_back(method<spec_param>("param", {{"name", "None"}},
                                         "Register a new symbolic parameter and return its handle."));
    declare_standard_constructors<SpecStandardGate, true>(methods);
    for (const PyMethodDef& m : {
        method<spec_rotation<RotationKind::kRX>>("rx", {"target", "param"}),
        method<spec_rotation<RotationKind::kRY>>("ry", {"target", "param"}),
        method<spec_rotation<RotationKind::kRZ>>("rz", {"target", "param"}),
        method<spec_rotation<RotationKind::kP>>("p", {"target", "param"}),
        method<spec_gate>("gate", {"gate"}, "Append a copy of a Gate as a fixed step."),
        method<spec_pauli_rotation>(
            "pauli_rotation", {"paulis", "param", {"scale", "1.0"}},
            "Append exp(-i*scale*theta/2*P) for the Pauli string P given as (label, qubit) "
            "pairs, theta being the parameter's value."),
        method<spec_two_qubit_rotation<sim::PauliLabel::kX>>(
            "rxx", {"q0", "q1", "param", {"scale", "1.0"}},
            "Append exp(-i*scale*theta/2*X(q0)X(q1))."),
        method<spec_two_qubit_rotation<sim::PauliLabel::kY>>(
            "ryy", {"q0", "q1", "param", {"scale", "1.0"}},
            "Append exp(-i*scale*theta/2*Y(q0)Y(q1))."),
        method<spec_two_qubit_rotation<sim::PauliLabel::kZ>>(
            "rzz", {"q0", "q1", "param", {"scale", "1.0"}},
            "Append exp(-i*scale*theta/2*Z(q0)Z(q1))."),
        method<spec_compile>(
            "compile", {{"precision", "'single'"}},
            "Compile the circuit specification into a reusable execution plan."),
        draw_method<spec_draw>(
            "Draw the steps as text, or as SVG with output='svg'; unnamed parameters show their "
            "slot (θ3, or t3 in ASCII), a custom unitary its targets as U0, U1, ... in the order "
            "given."),
        PyMethodDef{nullptr, nullptr, 0, nullptr},
    })
      methods.push_back(m);
    static PyGetSetDef getset[] = {
        getter<spec_num_qubits>("num_qubits",
                                "Number of qubits declared for the circuit specification."),
        getter<spec_parameter_count>(
            "parameter_count",
            "Number of symbolic parameters currently registered on the specification."),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static newfunc construct = constructor<spec_new>(kName, {"num_qubits"});
    if (PyErr_Occurred()) return nullptr;
    return create_class({kName,
                         "CircuitSpec(num_qubits)\n--\n\n"
                         "Builder for reusable parameterized circuit structure.",
                         sizeof(PyCircuitSpec), dealloc_instance<PyCircuitSpec>, construct,
                         methods.data(),
                         getset, nullptr, pickling_methods<PyCircuitSpec>()});
  }();
  return type;
}

PyTypeObject* PyParameter::type_object() {
  static PyTypeObject* type = []() -> PyTypeObject* {
    static PyGetSetDef getset[] = {
        getter<parameter_index>("index",
                                "Stable zero-based slot used when binding parameter vectors."),
        getter<parameter_name>("name", "Optional user-provided parameter name."),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    if (PyErr_Occurred()) return nullptr;
    return create_class({kName,
                         "Symbolic parameter handle used when building a compiled circuit "
                         "specification.",
                         sizeof(PyParameter), dealloc_instance<PyParameter>, nullptr, nullptr,
                         getset, parameter_repr, pickling_methods<PyParameter>()});
  }();
  return type;
}

}  // namespace vantrel::lib
