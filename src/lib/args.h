// The declarative argument layer: one declaration per callable.
//
// A binding is a plain C++ function whose parameter types say how each
// Python argument converts:
//
//   PyObject* gate_rx(std::uint64_t target, float theta);
//   PyObject* circuit_run(const PyCircuit& self, std::uint64_t num_qubits);
//
// and one line declares it to Python:
//
//   method<gate_rx>("rx", {"target", "theta"})
//   method<circuit_run>("run", {"num_qubits"})
//
// From that line come the METH_FASTCALL | METH_KEYWORDS entry point, the
// argument parser (by position or by keyword under the declared names,
// defaults, the interpreter's wording for missing, surplus and unexpected
// arguments), the conversions in declared order, and the docstring whose
// first line is the text signature ("rx(target, theta)\n--\n\n",
// "run($self, num_qubits)\n--\n\n"). A first parameter that is a reference
// to a binding struct is the instance: `const T&` borrows it shared, `T&`
// exclusively, after the arguments are parsed and before they convert.
//
// Conversions (the parameter's C++ type selects one):
//   std::uint64_t              integer-index protocol, then unsigned 64-bit
//   float                      PyFloat_AsDouble narrowed to single precision
//   std::optional<float>       None, or as float
//   double                     PyFloat_AsDouble
//   std::optional<double>      None, or as double
//   std::optional<std::uint64_t> None, or as std::uint64_t
//   bool                       the object's truth value (as `if obj:`)
//   std::string                a str
//   std::vector<std::uint64_t> a sequence of qubit indices (not a str)
//   std::optional<std::vector<std::uint64_t>> None, or as the above
//   std::optional<std::string> None, or a str
//   std::vector<LabeledQubit>  a sequence (not a str) of (str, index) tuples
//   sim::Precision             the str 'single' or 'double' (ValueError
//                              for any other value)
//   PyObject*                  any object (borrowed for the call)
//   List                       a list or list subclass (borrowed)
//   Payload                    a bytes object, read in place (borrowed)
//   Shared<T>, Exclusive<T>    an instance of T's class, borrowed
// A conversion failing with TypeError is re-raised as TypeError
// "argument '{name}': {message}"; other exceptions pass unchanged. The first
// failing argument in declared order is reported.
//
// The success path allocates nothing beyond what a conversion itself
// produces (a qubit vector, a name), creates no dict and formats no text.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "lib/errors.h"
#include "lib/object.h"
#include "sim/base/precision.h"

namespace vantrel::lib {

constexpr int kMaxArgs = 8;

struct ArgSpec {
  const char* name;
  // Python literal of the default ("1.0", "None", "False", "'text'"); NULL
  // for a required argument.
  const char* default_text = nullptr;
  ArgSpec(const char* n) : name(n) {}  // NOLINT: implicit by design
  ArgSpec(const char* n, const char* d) : name(n), default_text(d) {}
};

// The parsed form of one declaration. Lives for the process.
struct Signature {
  const char* name = nullptr;  // the callable's name in messages
  int count = 0;
  PyObject* names[kMaxArgs] = {};     // interned argument names
  PyObject* defaults[kMaxArgs] = {};  // default values, NULL when required
  std::string doc;                    // "name(a, b)\n--\n\n" + documentation
};

// Fills `sig` for a declaration; `with_self` adds the receiver ("$self, ",
// or "$type, " for a class method) to the text signature. On failure an
// exception is left set (the class or module under construction then fails
// to build).
void init_signature(Signature& sig, const char* name, std::span<const ArgSpec> args,
                    bool with_self, const char* doc, int arity, const char* receiver = "$self");
inline void init_signature(Signature& sig, const char* name, std::initializer_list<ArgSpec> args,
                           bool with_self, const char* doc, int arity,
                           const char* receiver = "$self") {
  init_signature(sig, name, std::span<const ArgSpec>(args.begin(), args.size()), with_self, doc,
                 arity, receiver);
}
// Fills `sig` as a copy of the declared `first` under another name: the same
// arguments, defaults and documentation, the text signature and every
// message naming `name`.
void init_alias_signature(Signature& sig, const Signature& first, const char* name);

// Matches vectorcall arguments to the declared slots (`out` gets borrowed
// references, defaults filled in). False with TypeError set on a mismatch.
bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);
// The same for a tuple and an optional dict (constructors).
bool parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Re-raises a pending TypeError as "argument '{name}': {message}".
void prefix_argument_error(PyObject* name);

// ---------------------------------------------------------------------------
// Conversions.

struct List {
  PyObject* obj = nullptr;  // borrowed for the call
};

// The contents of a bytes object, valid while the object is (bytes are
// immutable, and the argument reference keeps it alive for the call).
struct Payload {
  std::span<const std::uint8_t> bytes;
};

struct LabeledQubit {
  std::string label;
  std::uint64_t qubit;
};

// An instance of T's class held with a shared borrow for the call.
template <class T>
struct Shared {
  T* ptr = nullptr;
  SharedBorrow borrow;
  const T& operator*() const { return *ptr; }
  const T* operator->() const { return ptr; }
};

// An instance of T's class held with an exclusive borrow for the call.
template <class T>
struct Exclusive {
  T* ptr = nullptr;
  ExclusiveBorrow borrow;
  T& operator*() const { return *ptr; }
  T* operator->() const { return ptr; }
};

bool convert_u64(PyObject* obj, std::uint64_t& out);
bool convert_float(PyObject* obj, float& out);
bool convert_double(PyObject* obj, double& out);
bool convert_bool(PyObject* obj, bool& out);
bool convert_str(PyObject* obj, std::string& out);
bool convert_qubits(PyObject* obj, std::vector<std::uint64_t>& out);
bool convert_optional_str(PyObject* obj, std::optional<std::string>& out);
bool convert_list(PyObject* obj, List& out);
bool convert_payload(PyObject* obj, Payload& out);
bool convert_labeled_qubits(PyObject* obj, std::vector<LabeledQubit>& out);
bool convert_precision(PyObject* obj, sim::Precision& out);
// TypeError "'{type}' object cannot be converted to '{class_name}'".
bool instance_mismatch(PyObject* obj, const char* class_name);

template <class T>
struct Converter;

template <>
struct Converter<std::uint64_t> {
  static bool convert(PyObject* o, std::uint64_t& out) { return convert_u64(o, out); }
};
template <>
struct Converter<float> {
  static bool convert(PyObject* o, float& out) { return convert_float(o, out); }
};
template <>
struct Converter<double> {
  static bool convert(PyObject* o, double& out) { return convert_double(o, out); }
};
template <class R>
struct Converter<std::optional<R>> {
  static bool convert(PyObject* o, std::optional<R>& out) {
    if (o == Py_None) {
      out.reset();
      return true;
    }
    R v;
    if (!Converter<R>::convert(o, v)) return false;
    out = v;
    return true;
  }
};
template <>
struct Converter<std::optional<std::uint64_t>> {
  static bool convert(PyObject* o, std::optional<std::uint64_t>& out) {
    if (o == Py_None) {
      out.reset();
      return true;
    }
    std::uint64_t v;
    if (!convert_u64(o, v)) return false;
    out = v;
    return true;
  }
};
template <>
struct Converter<bool> {
  static bool convert(PyObject* o, bool& out) { return convert_bool(o, out); }
};
template <>
struct Converter<std::string> {
  static bool convert(PyObject* o, std::string& out) { return convert_str(o, out); }
};
template <>
struct Converter<std::vector<std::uint64_t>> {
  static bool convert(PyObject* o, std::vector<std::uint64_t>& out) {
    return convert_qubits(o, out);
  }
};
template <>
struct Converter<std::optional<std::vector<std::uint64_t>>> {
  static bool convert(PyObject* o, std::optional<std::vector<std::uint64_t>>& out) {
    if (o == Py_None) {
      out.reset();
      return true;
    }
    return convert_qubits(o, out.emplace());
  }
};
template <>
struct Converter<std::optional<std::string>> {
  static bool convert(PyObject* o, std::optional<std::string>& out) {
    return convert_optional_str(o, out);
  }
};
template <>
struct Converter<std::vector<LabeledQubit>> {
  static bool convert(PyObject* o, std::vector<LabeledQubit>& out) {
    return convert_labeled_qubits(o, out);
  }
};
template <>
struct Converter<sim::Precision> {
  static bool convert(PyObject* o, sim::Precision& out) { return convert_precision(o, out); }
};
template <>
struct Converter<PyObject*> {
  static bool convert(PyObject* o, PyObject*& out) {
    out = o;
    return true;
  }
};
template <>
struct Converter<List> {
  static bool convert(PyObject* o, List& out) { return convert_list(o, out); }
};
template <>
struct Converter<Payload> {
  static bool convert(PyObject* o, Payload& out) { return convert_payload(o, out); }
};
template <class T>
struct Converter<Shared<T>> {
  static bool convert(PyObject* o, Shared<T>& out) {
    if (!is_instance<T>(o)) return instance_mismatch(o, T::kName);
    T& t = instance_of<T>(o);
    if (!out.borrow.acquire(&t)) return false;
    out.ptr = &t;
    return true;
  }
};
template <class T>
struct Converter<Exclusive<T>> {
  static bool convert(PyObject* o, Exclusive<T>& out) {
    if (!is_instance<T>(o)) return instance_mismatch(o, T::kName);
    T& t = instance_of<T>(o);
    if (!out.borrow.acquire(&t)) return false;
    out.ptr = &t;
    return true;
  }
};

// ---------------------------------------------------------------------------
// Entry points generated from a declaration.

namespace detail {

template <class T>
constexpr bool is_self_v =
    std::is_reference_v<T> && std::is_base_of_v<ObjectBase, std::remove_cvref_t<T>>;

// The instance parameter: none, shared (`const T&`) or exclusive (`T&`).
template <class Self>
struct SelfGuard {
  using T = std::remove_cvref_t<Self>;
  static constexpr bool kShared = std::is_const_v<std::remove_reference_t<Self>>;
  std::conditional_t<kShared, SharedBorrow, ExclusiveBorrow> borrow;
  T* ptr = nullptr;
  bool acquire(PyObject* self) {
    T& t = instance_of<T>(self);
    if (!borrow.acquire(&t)) return false;
    ptr = &t;
    return true;
  }
};

template <>
struct SelfGuard<void> {};

template <class Value>
bool convert_slot(const Signature& sig, int i, PyObject* obj, Value& out) {
  if (Converter<Value>::convert(obj, out)) return true;
  prefix_argument_error(sig.names[i]);
  return false;
}

template <auto Impl, class Self, class... A>
struct Invoker {
  template <std::size_t... I>
  static PyObject* run(const Signature& sig, PyObject* self, PyObject** slots,
                       std::index_sequence<I...>) {
    return guarded<PyObject*>(
        [&]() -> PyObject* {
          [[maybe_unused]] SelfGuard<Self> guard;
          if constexpr (!std::is_void_v<Self>) {
            if (!guard.acquire(self)) return nullptr;
          }
          std::tuple<std::remove_cvref_t<A>...> values;
          if (!(convert_slot(sig, static_cast<int>(I), slots[I], std::get<I>(values)) && ...))
            return nullptr;
          if constexpr (std::is_void_v<Self>) {
            return Impl(static_cast<A&&>(std::get<I>(values))...);
          } else {
            return Impl(static_cast<Self>(*guard.ptr), static_cast<A&&>(std::get<I>(values))...);
          }
        },
        nullptr);
  }
};

// One declaration of Impl: kName 0 for its first name, 1, 2, ... for
// further names (aliases), each with a signature of its own.
template <auto Impl, int kName = 0>
struct Binding;

template <class... P, PyObject* (*Impl)(P...), int kName>
struct Binding<Impl, kName> {
  static inline Signature sig;

  template <class... Q>
  struct Split {
    using Self = void;
    static constexpr std::size_t kArgs = sizeof...(Q);
    template <auto F>
    using Inv = Invoker<F, void, Q...>;
  };
  template <class Q0, class... Q>
    requires is_self_v<Q0>
  struct Split<Q0, Q...> {
    using Self = Q0;
    static constexpr std::size_t kArgs = sizeof...(Q);
    template <auto F>
    using Inv = Invoker<F, Q0, Q...>;
  };
  using S = Split<P...>;
  static constexpr bool kHasSelf = !std::is_void_v<typename S::Self>;
  static constexpr int kArity = static_cast<int>(S::kArgs);
  static_assert(kArity <= kMaxArgs, "too many arguments for one binding");

  static PyObject* invoke(PyObject* self, PyObject** slots) {
    using Inv = typename S::template Inv<Impl>;
    return Inv::run(sig, self, slots, std::make_index_sequence<S::kArgs>{});
  }

  static PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* slots[kMaxArgs + 1];
    if (!parse_fastcall(sig, args, nargs, kwnames, slots)) return nullptr;
    return invoke(self, slots);
  }

  static PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* slots[kMaxArgs + 1];
    if (!parse_tuple_dict(sig, args, kwargs, slots)) return nullptr;
    return invoke(nullptr, slots);
  }

  static PyObject* get(PyObject* self, void*) {
    PyObject* slots[1] = {nullptr};
    return invoke(self, slots);
  }
};

void check_single_declaration(const Signature& sig, const char* name);
// Aborts unless `first` has been declared (an alias names an earlier method).
void check_declared(const Signature& first, const char* alias);

}  // namespace detail

// A method (with an instance parameter) or a static method (without one).
// method_of takes its argument names as data (a table's entry).
template <auto Impl>
PyMethodDef method_of(const char* name, std::span<const ArgSpec> args, const char* doc = nullptr) {
  using B = detail::Binding<Impl>;
  detail::check_single_declaration(B::sig, name);
  init_signature(B::sig, name, args, B::kHasSelf, doc, B::kArity);
  int flags = METH_FASTCALL | METH_KEYWORDS | (B::kHasSelf ? 0 : METH_STATIC);
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&B::fastcall)), flags,
          B::sig.doc.c_str()};
}
template <auto Impl>
PyMethodDef method(const char* name, std::initializer_list<ArgSpec> args = {},
                   const char* doc = nullptr) {
  return method_of<Impl>(name, std::span<const ArgSpec>(args.begin(), args.size()), doc);
}

// A second name for a method declared by method<Impl>, which must come
// first: one implementation behind both, each name with its own text
// signature and messages ("cnot() missing required argument ..."). A third
// name takes kName = 2, and so on.
template <auto Impl, int kName = 1>
PyMethodDef alias(const char* name) {
  static_assert(kName > 0, "kName 0 is the first declaration");
  using First = detail::Binding<Impl, 0>;
  using B = detail::Binding<Impl, kName>;
  detail::check_single_declaration(B::sig, name);
  detail::check_declared(First::sig, name);
  init_alias_signature(B::sig, First::sig, name);
  int flags = METH_FASTCALL | METH_KEYWORDS | (B::kHasSelf ? 0 : METH_STATIC);
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&B::fastcall)), flags,
          B::sig.doc.c_str()};
}

// A class method: Impl takes no instance (the class it is called on is not
// passed); the text signature starts with "$type".
template <auto Impl>
PyMethodDef class_method(const char* name, std::initializer_list<ArgSpec> args = {},
                         const char* doc = nullptr) {
  using B = detail::Binding<Impl>;
  static_assert(!B::kHasSelf, "a class method takes no instance");
  detail::check_single_declaration(B::sig, name);
  init_signature(B::sig, name, args, true, doc, B::kArity, "$type");
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&B::fastcall)),
          METH_FASTCALL | METH_KEYWORDS | METH_CLASS, B::sig.doc.c_str()};
}

// A module-level function.
template <auto Impl>
PyMethodDef function(const char* name, std::initializer_list<ArgSpec> args = {},
                     const char* doc = nullptr) {
  using B = detail::Binding<Impl>;
  static_assert(!B::kHasSelf, "module functions take no instance");
  detail::check_single_declaration(B::sig, name);
  init_signature(B::sig, name, args, false, doc, B::kArity);
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&B::fastcall)),
          METH_FASTCALL | METH_KEYWORDS, B::sig.doc.c_str()};
}

// A read-only attribute; Impl takes only the instance.
template <auto Impl>
PyGetSetDef getter(const char* name, const char* doc) {
  using B = detail::Binding<Impl>;
  static_assert(B::kHasSelf && B::kArity == 0, "a getter takes only the instance");
  detail::check_single_declaration(B::sig, name);
  init_signature(B::sig, name, {}, true, nullptr, 0);
  return {name, &B::get, nullptr, doc, nullptr};
}

// A class constructor (tp_new); Impl takes the arguments and returns the new
// instance. The class documentation carries the text signature separately.
template <auto Impl>
newfunc constructor(const char* class_name, std::initializer_list<ArgSpec> args) {
  using B = detail::Binding<Impl>;
  static_assert(!B::kHasSelf, "a constructor takes no instance");
  detail::check_single_declaration(B::sig, class_name);
  init_signature(B::sig, class_name, args, false, nullptr, B::kArity);
  return &B::construct;
}

}  // namespace vantrel::lib
