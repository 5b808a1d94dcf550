// Engine failures as Python exceptions, in one place.
//
//   kInvalid     -> ValueError, the engine's message verbatim
//   kInternal    -> InternalError, a class deriving directly from
//                   BaseException (a broken invariant is not an ordinary
//                   error that `except Exception` should swallow)
//   kOutOfMemory -> MemoryError
//   kInterrupted -> the exception a signal handler raised to stop the call,
//                   already set (interrupt.h)
//
// C++ exceptions never cross into the interpreter: every binding entry point
// runs its body through `guarded`, which turns std::bad_alloc (from any engine
// call, with or without the interpreter lock released) into MemoryError. The
// one unwinding let through is the thread's own end: at interpreter exit,
// re-taking the interpreter lock ends any other thread by unwinding it, which
// must not be stopped (that would abort the process).
//
// Every MemoryError leaving the module carries a message: the engine's
// ("cannot allocate a state vector of 34 qubits (128 GiB)"), this layer's
// for its own buffers, and a generic one for failed allocations whose size
// is not known here (std::bad_alloc, or the interpreter's own MemoryError
// without a message).
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "sim/base/pool.h"
#include "sim/base/result.h"

namespace vantrel::lib {

// The message of MemoryErrors whose size is not known here.
inline constexpr const char* kAllocationFailed = "cannot allocate memory: an allocation failed during the call";

// Sets the exception for `error` and returns NULL.
PyObject* raise(const sim::Error& error);

// Sets MemoryError "cannot allocate <what> (<size>)" and returns NULL.
PyObject* raise_memory_error(const std::string& what, unsigned __int128 bytes);

// Gives a pending MemoryError without a message the generic one.
void name_memory_error();

// Sets the internal-failure exception with `message` and returns NULL.
PyObject* raise_internal(const char* message);

// Sets TypeError or ValueError etc. with a formatted message; returns NULL.
// (Thin wrappers kept here so that every message leaves through this file.)
PyObject* raise_type_error(const char* message);
PyObject* raise_value_error(const char* message);

// The exception class of internal failures, created on first use and kept
// for the process (it is not a module attribute). NULL with an exception set
// if it cannot be created.
PyObject* internal_error_type();

// Runs `body` (returning a PyObject*/int-like "NULL or -1 means error"
// value) and turns any C++ exception that escapes it into a Python exception.
template <class R, class F>
R guarded(F&& body, R failure) {
  try {
    R result = body();
    if (result == failure) name_memory_error();
    return result;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, kAllocationFailed);
  } catch (const std::length_error&) {
    // A container asked for more elements than it can ever hold.
    PyErr_SetString(PyExc_MemoryError, kAllocationFailed);
  } catch (const sim::LostToFork& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    raise_internal("unexpected failure in the simulation engine");
  }
  return failure;
}

}  // namespace vantrel::lib
