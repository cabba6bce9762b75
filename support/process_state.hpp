// The process-wide state of the support layer: what every traceback entry,
// global-name lookup and function object of the module reads. It is made by
// init() at module execution and lives until the process ends.
#ifndef FERNLAKE_SUPPORT_PROCESS_STATE_HPP
#define FERNLAKE_SUPPORT_PROCESS_STATE_HPP

#include <Python.h>

namespace fernlake::support {

/// The module's attribute dictionary: globals of every traceback frame and
/// of the method function objects, first place of global-name lookups.
extern PyObject *module_namespace;
/// The builtins module: where global-name lookups fall back to.
extern PyObject *builtins_module;
/// The runtime support module "korvel_runtime", home of the switch
/// `cline_in_traceback`; null until init() has obtained it.
extern PyObject *runtime_module;
/// The interned, hashed name "cline_in_traceback"; made before
/// `runtime_module` is set, so the switch can always be read.
extern PyObject *switch_name;

/// Replaces a process-wide reference with `value` (stolen), releasing the
/// one it held.
inline void
set_process_ref(PyObject *&slot, PyObject *value) noexcept
{
    Py_XSETREF(slot, value);
}

/// Makes the support layer ready to serve the module whose attribute
/// dictionary is `ns` (borrowed). Module execution calls it once the
/// namespace exists and before any method can be called; a later execution
/// of the module in the same process calls it again. In this order it
/// holds `ns`, makes the switch's name, and holds the builtins module and
/// the runtime support module, which it creates empty and enters in the
/// module table when there is none. 0, or -1 with an exception set; what
/// was set before a failure stays set. Nothing it sets is ever released:
/// a later call replaces it.
int init(PyObject *ns) noexcept;

}  // namespace fernlake::support

#endif
