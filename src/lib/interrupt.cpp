#include "lib/interrupt.h"

namespace vantrel::lib::detail {

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
