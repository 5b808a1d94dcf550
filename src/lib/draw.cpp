#include "lib/draw.h"

namespace vantrel::lib {

PyObject* diagram_to_python(const sim::Result<std::string>& diagram) {
  if (!diagram) return raise(diagram.error());
  const std::string& text = *diagram;
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

}  // namespace vantrel::lib
