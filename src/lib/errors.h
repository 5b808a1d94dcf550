// Engine failures as Python exceptions, in one place.
//
//   kInvalid     -> ValueError, the engine's message verbatim
//   kInternal    -> InternalError, a class deriving directly from
//                   BaseException (a broken invariant is not an ordinary
//                   error that `except Exception` should swallow)
//   kOutOfMemory -> MemoryError
//
// C++ exceptions never cross into the interpreter: every binding entry point
// runs its body through `guarded`, which turns std::bad_alloc (from any engine
// call, with or without the interpreter lock released) into MemoryError.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

#include "sim/result.h"

namespace vantrel::lib {

// Sets the exception for `error` and returns NULL.
PyObject* raise(const sim::Error& error);

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
R guarded(F&& body, R failure) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more elements than it can ever hold.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    raise_internal("unexpected failure in the simulation engine");
  }
  return failure;
}

}  // namespace vantrel::lib
