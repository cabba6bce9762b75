// Process-wide objects that module execution sets and the support layer
// reads. They are set once per successful execution and never released.
#ifndef FERNLAKE_SUPPORT_PROCESS_HPP
#define FERNLAKE_SUPPORT_PROCESS_HPP

#include <Python.h>

namespace fernlake::support {

/// The module's attribute dictionary: globals of every traceback frame and
/// of the method function objects, first place of global-name lookups.
extern PyObject *module_namespace;
/// The builtins module: where global-name lookups fall back to.
extern PyObject *builtins_module;
/// The runtime support module "korvel_runtime", home of the switch
/// `cline_in_traceback`; null until module execution obtains it.
extern PyObject *runtime_module;
/// The interned, hashed name "cline_in_traceback".
extern PyObject *switch_name;
/// Offset of a frame's local-variable slots from the frame's start.
extern Py_ssize_t frame_slot_offset;

/// Replaces a process-wide reference, releasing the one it held (new
/// reference stolen).
inline void
set_process_ref(PyObject *&slot, PyObject *value) noexcept
{
    Py_XSETREF(slot, value);
}

}  // namespace fernlake::support

#endif
