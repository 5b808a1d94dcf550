#include "lib/args.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "lib/py.h"

namespace vantrel::lib {

// ---------------------------------------------------------------------------
// Declarations.

namespace detail {

void check_single_declaration(const Signature& sig, const char* name) {
  // Each declaration stores its signature (and the name in its messages) per
  // implementation function and name index: a second name is an alias.
  if (sig.name != nullptr) {
    std::fprintf(stderr, "vantrel: binding for '%s' declared twice (also as '%s')\n", name,
                 sig.name);
    std::abort();
  }
}

void check_declared(const Signature& first, const char* alias) {
  if (first.name == nullptr) {
    std::fprintf(stderr, "vantrel: alias '%s' declared before its method\n", alias);
    std::abort();
  }
}

}  // namespace detail

namespace {

// The value of a default written as a Python literal: None, True, False, a
// string in single quotes (no escapes), or a number.
PyObject* default_value(const char* text) {
  static const std::pair<const char*, PyObject*> kConstants[] = {
      {"None", Py_None}, {"True", Py_True}, {"False", Py_False}};
  for (const auto& [name, value] : kConstants) {
    if (std::strcmp(name, text) == 0) {
      Py_INCREF(value);
      return value;
    }
  }
  const std::size_t size = std::strlen(text);
  if (size >= 2 && text[0] == '\'' && text[size - 1] == '\'')
    return PyUnicode_FromStringAndSize(text + 1, static_cast<Py_ssize_t>(size - 2));
  if (std::strchr(text, '.') != nullptr) {
    PyRef s(PyUnicode_FromString(text));
    return s ? PyFloat_FromString(s.get()) : nullptr;
  }
  return PyLong_FromString(text, nullptr, 10);
}

}  // namespace

void init_signature(Signature& sig, const char* name, std::span<const ArgSpec> args,
                    bool with_self, const char* doc, int arity, const char* receiver) {
  if (static_cast<int>(args.size()) != arity) {
    std::fprintf(stderr, "vantrel: '%s' declares %d argument names for %d parameters\n", name,
                 static_cast<int>(args.size()), arity);
    std::abort();
  }
  sig.name = name;
  sig.count = arity;
  sig.doc = name;
  sig.doc += '(';
  if (with_self) {
    sig.doc += receiver;
    if (args.size()) sig.doc += ", ";
  }
  int i = 0;
  for (const ArgSpec& a : args) {
    if (i > 0) sig.doc += ", ";
    sig.doc += a.name;
    sig.names[i] = PyUnicode_InternFromString(a.name);
    if (a.default_text) {
      sig.doc += '=';
      sig.doc += a.default_text;
      sig.defaults[i] = default_value(a.default_text);
    }
    ++i;
  }
  sig.doc += ")\n--\n\n";
  if (doc) sig.doc += doc;
}

void init_alias_signature(Signature& sig, const Signature& first, const char* name) {
  sig.name = name;
  sig.count = first.count;
  for (int i = 0; i < first.count; ++i) {
    // Both signatures live for the process; each holds its own references.
    Py_XINCREF(first.names[i]);
    Py_XINCREF(first.defaults[i]);
    sig.names[i] = first.names[i];
    sig.defaults[i] = first.defaults[i];
  }
  // The documentation starts with the first name's text signature.
  sig.doc = name;
  sig.doc += first.doc.substr(std::strlen(first.name));
}

// ---------------------------------------------------------------------------
// Matching arguments to slots. The order of checks and the wording follow
// the interpreter's own parser for functions with named arguments.

namespace {

bool equal_names(PyObject* a, PyObject* b) {
  return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) &&
                    PyUnicode_Compare(a, b) == 0);
}

bool too_many(const Signature& sig, Py_ssize_t nargs, Py_ssize_t nkw) {
  if (sig.count == 0) {
    if (nargs == 0)
      PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", sig.name);
    else
      PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", sig.name, nargs);
    return false;
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes at most %d %sargument%s (%zd given)", sig.name,
               sig.count, nargs == 0 ? "keyword " : "", sig.count == 1 ? "" : "s",
               nargs + nkw);
  return false;
}

bool missing(const Signature& sig, int i) {
  PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%U' (pos %d)", sig.name,
               sig.names[i], i + 1);
  return false;
}

// Keyword sources: vectorcall names with values after the positionals, or a dict.
struct KwNames {
  PyObject* names;
  PyObject* const* values;
  Py_ssize_t size() const { return names ? PyTuple_GET_SIZE(names) : 0; }
  PyObject* find(PyObject* name) const {
    const Py_ssize_t n = size();
    for (Py_ssize_t k = 0; k < n; ++k)
      if (PyTuple_GET_ITEM(names, k) == name) return values[k];
    for (Py_ssize_t k = 0; k < n; ++k)
      if (equal_names(PyTuple_GET_ITEM(names, k), name)) return values[k];
    return nullptr;
  }
  template <class F>
  void each(F&& f) const {
    const Py_ssize_t n = size();
    for (Py_ssize_t k = 0; k < n; ++k)
      if (!f(PyTuple_GET_ITEM(names, k))) return;
  }
};

struct KwDict {
  PyObject* dict;
  Py_ssize_t size() const { return dict ? PyDict_GET_SIZE(dict) : 0; }
  PyObject* find(PyObject* name) const {
    // Keys of a keyword dict are str; the lookup cannot fail.
    return dict ? PyDict_GetItemWithError(dict, name) : nullptr;
  }
  template <class F>
  void each(F&& f) const {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (dict && PyDict_Next(dict, &pos, &key, &value))
      if (!f(key)) return;
  }
};

template <class Kw>
bool match(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, const Kw& kw,
           PyObject** out) {
  const Py_ssize_t nkw = kw.size();
  if (nargs + nkw > sig.count) return too_many(sig, nargs, nkw);
  Py_ssize_t remaining = nkw;
  for (int i = 0; i < sig.count; ++i) {
    PyObject* v = nullptr;
    if (i < nargs) {
      v = args[i];
    } else if (remaining > 0) {
      v = kw.find(sig.names[i]);
      if (v) --remaining;
    }
    if (v == nullptr) {
      v = sig.defaults[i];
      if (v == nullptr) return missing(sig, i);
    }
    out[i] = v;
  }
  if (remaining == 0) return true;

  // Some keywords matched nothing above: either they name an argument that
  // was also given by position, or no argument at all.
  for (int i = 0; i < nargs; ++i) {
    if (kw.find(sig.names[i]) != nullptr) {
      PyErr_Format(PyExc_TypeError,
                   "argument for %.200s() given by name ('%U') and position (%d)", sig.name,
                   sig.names[i], i + 1);
      return false;
    }
  }
  kw.each([&](PyObject* key) {
    for (int i = 0; i < sig.count; ++i)
      if (PyUnicode_Check(key) && equal_names(key, sig.names[i])) return true;
    PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%S'", sig.name,
                 key);
    return false;
  });
  if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%.200s(): invalid arguments", sig.name);
  return false;
}

}  // namespace

bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (kwnames == nullptr && nargs == sig.count) {
    for (int i = 0; i < sig.count; ++i) out[i] = args[i];
    return true;
  }
  return match(sig, args, nargs, KwNames{kwnames, args + nargs}, out);
}

bool parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  return match(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), KwDict{kwargs}, out);
}

void prefix_argument_error(PyObject* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyRef value(PyErr_GetRaisedException());
  PyErr_Format(PyExc_TypeError, "argument '%U': %S", name, value.get());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyErr_Format(PyExc_TypeError, "argument '%U': %S", name, value);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
#endif
}

// ---------------------------------------------------------------------------
// Conversions.

bool convert_u64(PyObject* obj, std::uint64_t& out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool convert_double(PyObject* obj, double& out) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool convert_float(PyObject* obj, float& out) {
  double v;
  if (!convert_double(obj, v)) return false;
  out = static_cast<float>(v);
  return true;
}

bool convert_bool(PyObject* obj, bool& out) {
  const int v = PyObject_IsTrue(obj);
  if (v < 0) return false;
  out = v != 0;
  return true;
}

namespace {

// Walks a sequence argument (a str refused first), calling item(obj) for each
// element in order; the first failure stops the walk.
template <class F>
bool for_each_in_sequence(PyObject* obj, F&& item) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                 type_short_name(obj));
    return false;
  }
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef element(PySequence_GetItem(obj, i));
    if (!element || !item(element.get())) return false;
  }
  return true;
}

}  // namespace

bool convert_str(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'",
                 type_short_name(obj));
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool convert_qubits(PyObject* obj, std::vector<std::uint64_t>& out) {
  out.clear();
  return for_each_in_sequence(obj, [&](PyObject* item) {
    std::uint64_t q;
    if (!convert_u64(item, q)) return false;
    out.push_back(q);
    return true;
  });
}

bool convert_labeled_qubits(PyObject* obj, std::vector<LabeledQubit>& out) {
  out.clear();
  return for_each_in_sequence(obj, [&](PyObject* item) {
    if (!PyTuple_Check(item)) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyTuple'",
                   type_short_name(item));
      return false;
    }
    if (PyTuple_GET_SIZE(item) != 2) {
      PyErr_Format(PyExc_TypeError, "expected tuple of length 2, but got tuple of length %zd",
                   PyTuple_GET_SIZE(item));
      return false;
    }
    LabeledQubit lq;
    if (!convert_str(PyTuple_GET_ITEM(item, 0), lq.label)) return false;
    if (!convert_u64(PyTuple_GET_ITEM(item, 1), lq.qubit)) return false;
    out.push_back(std::move(lq));
    return true;
  });
}

bool convert_optional_str(PyObject* obj, std::optional<std::string>& out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  std::string value;
  if (!convert_str(obj, value)) return false;
  out = std::move(value);
  return true;
}

bool convert_precision(PyObject* obj, sim::Precision& out) {
  if (PyUnicode_Check(obj)) {
    for (sim::Precision p : {sim::Precision::kSingle, sim::Precision::kDouble}) {
      if (PyUnicode_CompareWithASCIIString(obj, sim::precision_name(p)) == 0) {
        out = p;
        return true;
      }
    }
  }
  PyErr_Format(PyExc_ValueError, "precision must be 'single' or 'double', got %R", obj);
  return false;
}

bool convert_list(PyObject* obj, List& out) {
  if (!PyList_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyList'",
                 type_short_name(obj));
    return false;
  }
  out.obj = obj;
  return true;
}

bool convert_payload(PyObject* obj, Payload& out) {
  if (!PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBytes'",
                 type_short_name(obj));
    return false;
  }
  out.bytes = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
               static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
  return true;
}

bool instance_mismatch(PyObject* obj, const char* class_name) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_short_name(obj),
               class_name);
  return false;
}

}  // namespace vantrel::lib
