// The draw methods of Circuit, CircuitSpec and CompiledCircuit: one argument
// declaration and one path from the arguments to the diagram's str.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/object.h"
#include "sim/io/draw.h"

namespace vantrel::lib {

// The diagram (UTF-8) as a str, or its error raised.
PyObject* diagram_to_python(const sim::Result<std::string>& diagram);

// Checks the arguments, then runs draw(options) -> Result<std::string>; with
// `release`, with the interpreter lock released (for objects that cannot
// change while they are borrowed shared).
template <class Draw>
PyObject* draw_diagram(std::uint64_t fold, bool ascii, const std::string& output, bool release,
                       Draw&& draw) {
  sim::Result<sim::DiagramOptions> options = sim::diagram_options(fold, ascii, output);
  if (!options) return raise(options.error());
  if (!release) return diagram_to_python(draw(*options));
  sim::Result<std::string> diagram = [&] {
    ReleaseGil unlocked;
    return draw(*options);
  }();
  return diagram_to_python(diagram);
}

// draw(fold=80, ascii=False, output='text') of Impl, taking (self, fold,
// ascii, output).
template <auto Impl>
PyMethodDef draw_method(const char* doc) {
  return method<Impl>("draw", {{"fold", "80"}, {"ascii", "False"}, {"output", "'text'"}}, doc);
}

}  // namespace vantrel::lib
