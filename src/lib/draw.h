// The draw methods of Circuit, CircuitSpec and CompiledCircuit: one argument
// declaration and one path from the arguments to the diagram's str.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/interrupt.h"
#include "lib/object.h"
#include "sim/io/draw.h"

namespace vantrel::lib {

// The diagram (UTF-8) as a str, or its error raised.
PyObject* diagram_to_python(const sim::Result<std::string>& diagram);

// Checks the arguments, then runs draw(options) -> Result<std::string>,
// stoppable as interrupt.h says; with `release`, with the interpreter lock
// released (for objects that cannot change while they are borrowed shared).
// A diagram's size is known only once its elements are read, so every draw
// counts as long enough to poll.
template <class Draw>
PyObject* draw_diagram(std::uint64_t fold, bool ascii, const std::string& output, bool release,
                       Draw&& draw) {
  sim::Result<sim::DiagramOptions> options = sim::diagram_options(fold, ascii, output);
  if (!options) return raise(options.error());
  constexpr std::uint64_t kWork = sim::Interrupt::kWorkBeforeFirstPoll;
  const auto run = [&] { return draw(*options); };
  if (!release) return diagram_to_python(call_holding_lock(kWork, run));
  return diagram_to_python(call_released(kWork, run));
}

// draw(fold=80, ascii=False, output='text') of Impl, taking (self, fold,
// ascii, output).
template <auto Impl>
PyMethodDef draw_method(const char* doc) {
  return method<Impl>("draw", {{"fold", "80"}, {"ascii", "False"}, {"output", "'text'"}}, doc);
}

}  // namespace vantrel::lib
