#include "lib/object.h"

#include <cstring>
#include <string>
#include <vector>


namespace vantrel::lib {
namespace {

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

}  // namespace

PyTypeObject* create_class(const ClassSpec& spec) {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
  slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.constructor ? spec.constructor
                                                                       : no_constructor)});
  // The type keeps a pointer to its method table: a merged table lives, like
  // the type, for the process.
  PyMethodDef* methods = spec.methods;
  if (spec.pickling) {
    auto* merged = new std::vector<PyMethodDef>();
    for (PyMethodDef* m = spec.methods; m && m->ml_name; ++m) merged->push_back(*m);
    for (const PyMethodDef* m = spec.pickling; m->ml_name; ++m) merged->push_back(*m);
    merged->push_back({nullptr, nullptr, 0, nullptr});
    methods = merged->data();
  }
  if (methods) slots.push_back({Py_tp_methods, methods});
  if (spec.getset) slots.push_back({Py_tp_getset, spec.getset});
  if (spec.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr)});
  for (const PyType_Slot* s = spec.slots; s && s->slot != 0; ++s) slots.push_back(*s);
  slots.push_back({0, nullptr});

  // The qualified name sets __module__ to vantrel; the class's __name__ and
  // the module attribute are the bare name.
  // Older interpreters keep the spec's name pointer as tp_name, so the text
  // lives as long as the type: for the process.
  auto* qualified = new std::string(std::string("vantrel.") + spec.name);
  PyType_Spec type_spec{};
  type_spec.name = qualified->c_str();
  type_spec.basicsize = spec.basicsize;
  type_spec.itemsize = 0;
  // Not a base type (not subclassable); immutable like a built-in class.
  type_spec.flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
  type_spec.flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
  type_spec.slots = slots.data();
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
#if PY_VERSION_HEX < 0x030A0000
  // Python 3.9 keeps only the part after the signature of a heap type's
  // documentation, which loses the class's __text_signature__ ("(gates)").
  // __doc__ was already set from that part; tp_doc gets the whole text back,
  // in memory the type frees as its own.
  if (type != nullptr && spec.doc != nullptr) {
    const std::size_t size = std::strlen(spec.doc) + 1;
    auto* doc = static_cast<char*>(PyObject_Malloc(size));
    if (doc == nullptr) {
      Py_DECREF(type);
      PyErr_NoMemory();
      return nullptr;
    }
    std::memcpy(doc, spec.doc, size);
    PyObject_Free(const_cast<char*>(type->tp_doc));
    type->tp_doc = doc;
  }
#endif
  return type;
}

}  // namespace vantrel::lib
