#include "lib/py.h"

namespace vantrel::lib {

const char* type_short_name(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  const char* dot = nullptr;
  for (const char* p = name; *p; ++p)
    if (*p == '.') dot = p;
  return dot ? dot + 1 : name;
}

}  // namespace vantrel::lib
