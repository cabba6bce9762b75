#include "interpreter.hpp"

#include <cstring>

namespace fernlake::support {

namespace {

#if PY_VERSION_HEX >= 0x030D0000
/// sys.getswitchinterval as module execution found it, or null.
PyObject *get_switch_interval = nullptr;
#endif

#if PY_VERSION_HEX >= 0x030C0000
/// sys.monitoring.get_tool as module execution found it, or null, and the
/// six tool ids it is asked about.
PyObject *get_tool = nullptr;
PyObject *tool_ids[6] = {};

/// True when a sys.monitoring tool is registered. 3.12 has no native read
/// of the monitoring state; 3.13's PyMonitoring_EnterScope reports the
/// events set globally, but not those set on single code objects (as
/// re.search's own), which a shortcut hides as well. A tool must be
/// registered before it sets any event, so no registered tool means no
/// event of either kind. Python tools use ids 0 to 5; the interpreter's
/// own sys.settrace and sys.setprofile use the ids above, and show in the
/// thread state instead.
bool
monitoring_tool_registered() noexcept
{
    if (get_tool == nullptr) {
        return true;  // unknown: the general path runs
    }
    for (PyObject *id : tool_ids) {
        PyObject *name = PyObject_CallOneArg(get_tool, id);
        if (name == NULL) {
            PyErr_Clear();
            return true;  // unknown: the general path runs
        }
        bool registered = name != Py_None;
        Py_DECREF(name);
        if (registered) {
            return true;
        }
    }
    return false;
}

/// Whether a sys.monitoring tool may receive events. A tool receives them
/// only through callbacks it registers, and registering one raises the
/// audit event below, which the module's audit hook watches. Until the
/// hook has seen an event of its own, it may not be in place (an existing
/// hook can refuse it), and nothing is known.
bool callbacks_registered = true;
bool hook_in_place = false;

int
watch_monitoring(const char *event, PyObject *, void *) noexcept
{
    hook_in_place = true;
    if (std::strcmp(event, "sys.monitoring.register_callback") == 0) {
        callbacks_registered = true;
    }
    return 0;
}

/// True when a sys.monitoring tool may receive events. Asking sys.monitoring
/// costs six calls: it is asked only once a tool may have registered a
/// callback.
bool
monitoring_may_report() noexcept
{
    return (callbacks_registered || !hook_in_place)
           && monitoring_tool_registered();
}
#endif

#if PY_VERSION_HEX >= 0x030C0000
/// New reference: the attribute `name` of the module `module`, or null
/// with no error.
PyObject *
module_attr(const char *module, const char *name) noexcept
{
    PyObject *m = PyImport_ImportModule(module);
    PyObject *value = m != NULL ? PyObject_GetAttrString(m, name) : NULL;
    Py_XDECREF(m);
    if (value == NULL) {
        PyErr_Clear();
    }
    return value;
}
#endif

}  // namespace

bool
observed() noexcept
{
    PyThreadState *t = current_thread();
#if PY_VERSION_HEX >= 0x030C0000
    return t->c_tracefunc != NULL || t->c_profilefunc != NULL
           || monitoring_may_report();
#elif PY_VERSION_HEX >= 0x030A0000
    return t->cframe->use_tracing != 0;
#else
    return t->use_tracing != 0;
#endif
}

unsigned long
switch_interval_us() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    const unsigned long fallback = 5000;  // the interpreter's default
    if (get_switch_interval == nullptr) {
        return fallback;
    }
    PyObject *seconds = PyObject_CallNoArgs(get_switch_interval);
    double value = seconds != NULL ? PyFloat_AsDouble(seconds) : -1.0;
    Py_XDECREF(seconds);
    if (value < 0) {
        PyErr_Clear();
        return fallback;
    }
    return (unsigned long)(value * 1e6);
#else
    return _PyEval_GetSwitchInterval();
#endif
}

void
capture_interpreter_functions() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    if (get_switch_interval == nullptr) {
        get_switch_interval = module_attr("sys", "getswitchinterval");
    }
#endif
#if PY_VERSION_HEX >= 0x030C0000
    if (get_tool == nullptr) {
        for (long i = 0; i < 6; i++) {
            tool_ids[i] = PyLong_FromLong(i);
            if (tool_ids[i] == NULL) {
                PyErr_Clear();
                return;
            }
        }
        PyObject *monitoring = module_attr("sys", "monitoring");
        if (monitoring != NULL) {
            get_tool = PyObject_GetAttrString(monitoring, "get_tool");
            Py_DECREF(monitoring);
            if (get_tool == NULL) {
                PyErr_Clear();
            }
        }
        // A tool registered before the import may have its callbacks.
        callbacks_registered = monitoring_tool_registered();
        // The hook cannot be removed: it is added once per process.
        if (PySys_AddAuditHook(watch_monitoring, NULL) < 0) {
            PyErr_Clear();
        }
    }
#endif
}

void
get_top_handled(PyObject **type, PyObject **value,
                PyObject **traceback) noexcept
{
    _PyErr_StackItem *item = current_thread()->exc_info;
#if PY_VERSION_HEX >= 0x030B0000
    *value = item->exc_value;
    Py_XINCREF(*value);
    if (*value != NULL && *value != Py_None) {
        *type = (PyObject *)Py_TYPE(*value);
        Py_INCREF(*type);
        *traceback = PyException_GetTraceback(*value);
    }
    else {
        *type = NULL;
        *traceback = NULL;
    }
#else
    *type = item->exc_type;
    *value = item->exc_value;
    *traceback = item->exc_traceback;
    Py_XINCREF(*type);
    Py_XINCREF(*value);
    Py_XINCREF(*traceback);
#endif
}

void
set_top_handled(PyObject *type, PyObject *value,
                PyObject *traceback) noexcept
{
    _PyErr_StackItem *item = current_thread()->exc_info;
#if PY_VERSION_HEX >= 0x030B0000
    PyObject *old_value = item->exc_value;
    item->exc_value = value;
    Py_XDECREF(old_value);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
#else
    PyObject *old_type = item->exc_type;
    PyObject *old_value = item->exc_value;
    PyObject *old_traceback = item->exc_traceback;
    item->exc_type = type;
    item->exc_value = value;
    item->exc_traceback = traceback;
    Py_XDECREF(old_type);
    Py_XDECREF(old_value);
    Py_XDECREF(old_traceback);
#endif
}

PyObject *
new_method_code(int nparams, PyObject *varnames, PyObject *filename,
                PyObject *name, int line) noexcept
{
    PyObject *empty_bytes = PyBytes_FromStringAndSize(NULL, 0);
    PyObject *empty_tuple = PyTuple_New(0);
    PyObject *code = NULL;
    if (empty_bytes != NULL && empty_tuple != NULL) {
        const int nlocals = (int)PyTuple_GET_SIZE(varnames);
        const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
#if PY_VERSION_HEX >= 0x030C0000
        code = (PyObject *)PyUnstable_Code_New(
            nparams, 0, nlocals, 0, flags, empty_bytes, empty_tuple,
            empty_tuple, varnames, empty_tuple, empty_tuple, filename, name,
            name, line, empty_bytes, empty_bytes);
#elif PY_VERSION_HEX >= 0x030B0000
        code = (PyObject *)PyCode_New(
            nparams, 0, nlocals, 0, flags, empty_bytes, empty_tuple,
            empty_tuple, varnames, empty_tuple, empty_tuple, filename, name,
            name, line, empty_bytes, empty_bytes);
#else
        code = (PyObject *)PyCode_New(
            nparams, 0, nlocals, 0, flags, empty_bytes, empty_tuple,
            empty_tuple, varnames, empty_tuple, empty_tuple, filename, name,
            line, empty_bytes);
#endif
    }
    Py_XDECREF(empty_bytes);
    Py_XDECREF(empty_tuple);
    return code;
}

}  // namespace fernlake::support
