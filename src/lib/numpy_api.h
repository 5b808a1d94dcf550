// The one way the module includes NumPy's C API.
//
// The array API table is a single symbol shared by every file of the module;
// module.cpp defines VANTREL_NUMPY_IMPORT before including this header and
// owns the table, every other file refers to it. The target API version is
// kept low so that a module built against NumPy 2 headers also imports under
// NumPy 1.26; only functions present in that version may be used.
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_22_API_VERSION
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL vantrel_ARRAY_API
#ifndef VANTREL_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
