#include "process.hpp"

namespace fernlake::support {

PyObject *module_namespace = nullptr;
PyObject *builtins_module = nullptr;
PyObject *runtime_module = nullptr;
PyObject *switch_name = nullptr;
Py_ssize_t frame_slot_offset = 0;

}  // namespace fernlake::support
