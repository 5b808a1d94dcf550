#include "lib/interrupt.h"

#include <pthread.h>

#include "lib/py.h"

namespace vantrel::lib::detail {

unsigned long g_signal_thread = 0;

namespace {

// After a fork the child's only thread is the one that forked, and the
// interpreter makes it the one that runs signal handlers.
void child_after_fork() { g_signal_thread = PyThread_get_thread_ident(); }

}  // namespace

bool record_signal_thread() {
  // threading.main_thread() rather than the current thread: the module may
  // be imported from any thread. (The interpreter's own test for it is no
  // longer in the public headers from 3.13 on.)
  PyRef threading(PyImport_ImportModule("threading"));
  if (!threading) return false;
  PyRef main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  if (!main) return false;
  PyRef ident(PyObject_GetAttrString(main.get(), "ident"));
  if (!ident) return false;
  const unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  static const bool registered = pthread_atfork(nullptr, nullptr, &child_after_fork) == 0;
  (void)registered;
  g_signal_thread = value;
  return true;
}

bool poll_released(void* context) {
  PyThreadState*& thread = **static_cast<PyThreadState***>(context);
  // Re-taking the lock while the interpreter finalises would end this thread
  // with the pool still working on its stack: leave the handlers alone.
#if PY_VERSION_HEX >= 0x030D0000
  if (Py_IsFinalizing()) return false;
#else
  if (_Py_IsFinalizing()) return false;
#endif
  PyEval_RestoreThread(thread);
  const bool stop = PyErr_CheckSignals() != 0;
  // A raised exception stays set on this thread while the lock is released.
  thread = PyEval_SaveThread();
  return stop;
}

bool poll_holding_lock(void*) { return PyErr_CheckSignals() != 0; }

}  // namespace vantrel::lib::detail
