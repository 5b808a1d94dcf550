// Pickling and copying.
//
// The value classes (Gate, Circuit, Observable, Parameter, CircuitSpec,
// CompiledCircuit) pickle as their engine value's encoding (sim/serialize.h):
// __reduce__ returns (cls._from_pickle, (payload,)), and the class method
// _from_pickle decodes and validates the payload like any input from outside.
// The classes have no constructor to call with a payload and the module adds
// no functions, so the class method is what a pickle names; it is bound to
// the class, so every pickle protocol stores it as getattr(vantrel.Gate,
// "_from_pickle"). __copy__ and __deepcopy__ copy the engine value directly:
// the copy owns its own value, as every object made from another does.
//
// ExecutionContext, ParamBuffer and ParamBatchBuffer hold scratch state or
// share a caller's array: their __reduce__ raises TypeError saying what to
// pickle instead (copy.copy and copy.deepcopy go through it and refuse too).
#pragma once

#include <Python.h>

namespace vantrel::lib {

// The members above for the binding type T of any of the nine classes, a
// sentinel-ended table for ClassSpec::pickling, kept for the process.
template <class T>
const PyMethodDef* pickling_methods();

}  // namespace vantrel::lib
