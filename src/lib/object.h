// The class machinery shared by the module's nine classes.
//
// Every binding type is a struct deriving from ObjectBase with
//   static constexpr const char* kName;      // the class name ("Gate")
//   static PyTypeObject* type_object();      // created once, cached
//   <engine type> value;                     // the owned engine value
// Types are heap types made once with create_class and kept for the life of
// the process. They cannot be subclassed (no Py_TPFLAGS_BASETYPE), have no
// instance __dict__ and no weak references.
//
// Borrowing: each call holds its instance shared (reads) or exclusive
// (writes) for its duration, through the RAII guards below. The borrow state
// is read and changed only with the interpreter lock held; a conflict can only
// arise while some call has released the lock.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

namespace vantrel::lib {

struct ObjectBase {
  PyObject_HEAD
  // 0: free; n > 0: n shared borrows; -1: borrowed exclusively.
  Py_ssize_t borrow_state;
};

// A shared borrow of an instance; empty until acquire() succeeds.
class SharedBorrow {
 public:
  SharedBorrow() = default;
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  SharedBorrow(SharedBorrow&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  ~SharedBorrow() {
    if (obj_) --obj_->borrow_state;
  }
  // RuntimeError "Already mutably borrowed" while an exclusive borrow is held.
  bool acquire(ObjectBase* obj) {
    if (obj->borrow_state < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    ++obj->borrow_state;
    obj_ = obj;
    return true;
  }

 private:
  ObjectBase* obj_ = nullptr;
};

// An exclusive borrow of an instance; empty until acquire() succeeds.
class ExclusiveBorrow {
 public:
  ExclusiveBorrow() = default;
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow(ExclusiveBorrow&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  ~ExclusiveBorrow() {
    if (obj_) obj_->borrow_state = 0;
  }
  // RuntimeError "Already borrowed" while any other borrow is held.
  bool acquire(ObjectBase* obj) {
    if (obj->borrow_state != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    obj->borrow_state = -1;
    obj_ = obj;
    return true;
  }

 private:
  ObjectBase* obj_ = nullptr;
};

// Releases the interpreter lock for its scope. Nothing in the scope may touch
// a Python object; the engine's worker threads never do. Exceptions leaving
// the scope re-take the lock on the way out. Long engine calls release the
// lock through call_released (interrupt.h) instead, which keeps Ctrl-C alive.
class ReleaseGil {
 public:
  ReleaseGil() : state_(PyEval_SaveThread()) {}
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;
  // At interpreter exit re-taking the lock may end the thread by unwinding.
  ~ReleaseGil() noexcept(false) { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

struct ClassSpec {
  const char* name;       // bare class name, also the type's tp_name
  const char* doc;        // full class documentation (text signature first, if any)
  int basicsize;          // sizeof the binding struct
  destructor dealloc;     // dealloc_instance<T>
  newfunc constructor;    // NULL: calling the class raises "No constructor defined"
  PyMethodDef* methods;   // may be NULL
  PyGetSetDef* getset;    // may be NULL
  reprfunc repr;          // may be NULL (the interpreter's default)
  // May be NULL: the pickling and copying members (pickling.h), a
  // sentinel-ended table appended to `methods`.
  const PyMethodDef* pickling;
  // May be NULL: further type slots (operators), ended by a {0, NULL} entry.
  const PyType_Slot* slots = nullptr;
};

// Creates the type. NULL with an exception set on failure.
PyTypeObject* create_class(const ClassSpec& spec);

// Releases the engine value, then the object and its reference to the type.
template <class T>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  using Value = decltype(T::value);
  static_cast<T*>(reinterpret_cast<ObjectBase*>(self))->value.~Value();
  type->tp_free(self);
  Py_DECREF(type);
}

// A new instance of T owning `value` (moved in). NULL with an exception set.
template <class T, class V>
PyObject* new_instance(V&& value) {
  PyTypeObject* type = T::type_object();
  if (type == nullptr) return nullptr;
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  T* self = static_cast<T*>(reinterpret_cast<ObjectBase*>(obj));
  self->borrow_state = 0;
  using Value = decltype(T::value);
  new (&self->value) Value(std::forward<V>(value));
  return obj;
}

// The binding struct behind `obj`, which must be an instance of T's type.
template <class T>
T& instance_of(PyObject* obj) {
  return *static_cast<T*>(reinterpret_cast<ObjectBase*>(obj));
}

// True when `obj` is an instance of T's class. T's type must already exist
// (it does once the module is imported).
template <class T>
bool is_instance(PyObject* obj) {
  PyTypeObject* type = T::type_object();
  return type != nullptr && PyObject_TypeCheck(obj, type);
}

}  // namespace vantrel::lib
