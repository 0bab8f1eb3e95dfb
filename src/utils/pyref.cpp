#include "utils/pyref.hpp"

#include "utils/compat.hpp"

namespace tavo {

void release_reference(PyObject* obj) {
  if (compat::thread_state_or_null() != nullptr) [[likely]] {
    Py_DECREF(obj);
  }
}

}  // namespace tavo
