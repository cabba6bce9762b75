// Whether a line's signal check may run code of a caller's: it runs the
// handler of each signal that arrived, and before 3.12 nothing else. The
// reader asks once in a while, so that, while every handler is the
// interpreter's own or none, it need not check `re` anew after each line.
#include "shortcuts.hpp"

#include <cstring>

namespace fernlake {

namespace {

// The signal module's getsignal(), called through its C function, and its
// default_int_handler, which only raises KeyboardInterrupt. Held; captured
// at import, and only from the interpreter's own _signal module.
struct SignalCapture {
    PyObject *getsignal = nullptr;
    PyCFunction read = nullptr;
    PyObject *module = nullptr;  // getsignal's own, borrowed through it
    PyObject *default_int_handler = nullptr;
    int count = 0;  // signal numbers run from 1 to count - 1
} captured_signals;

/// True when `f` is the built-in function `name` of the extension module
/// named "_signal", with one argument when `one_argument`.
bool
is_signal_function(PyObject *f, const char *name, bool one_argument) noexcept
{
    if (!PyCFunction_CheckExact(f)) {
        return false;
    }
    PyObject *self = PyCFunction_GET_SELF(f);
    PyModuleDef *def =
        self != NULL && PyModule_CheckExact(self) ? PyModule_GetDef(self)
                                                  : NULL;
    const PyMethodDef *method = support::builtin_def_of(f);
    return def != NULL && def->m_name != NULL
           && std::strcmp(def->m_name, "_signal") == 0
           && std::strcmp(method->ml_name, name) == 0
           && (!one_argument || method->ml_flags == METH_O);
}

void
release_signals() noexcept
{
    Py_CLEAR(captured_signals.getsignal);
    Py_CLEAR(captured_signals.default_int_handler);
    captured_signals = SignalCapture{};
}

}  // namespace

int
capture_signal_handlers() noexcept
{
    release_signals();
    if (!support::signal_check_runs_only_handlers) {
        return 0;
    }
    PyObject *module = PyImport_ImportModule("_signal");
    if (module == NULL) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            return -1;
        }
        PyErr_Clear();  // no signal module: the check stays off
        return 0;
    }
    SignalCapture &c = captured_signals;
    c.getsignal = PyObject_GetAttrString(module, "getsignal");
    c.default_int_handler =
        c.getsignal ? PyObject_GetAttrString(module, "default_int_handler")
                    : NULL;
    PyObject *count =
        c.default_int_handler ? PyObject_GetAttrString(module, "NSIG") : NULL;
    Py_DECREF(module);
    long n = count && PyLong_CheckExact(count) ? PyLong_AsLong(count) : -1;
    Py_XDECREF(count);
    if (PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            release_signals();
            return -1;
        }
        PyErr_Clear();
    }
    // The numbers are small ints, which the interpreter keeps made.
    if (n < 2 || n > 256 || !is_signal_function(c.getsignal, "getsignal", true)
        || !is_signal_function(c.default_int_handler, "default_int_handler",
                               false)) {
        release_signals();
        return 0;
    }
    c.read = PyCFunction_GET_FUNCTION(c.getsignal);
    c.module = PyCFunction_GET_SELF(c.getsignal);
    c.count = (int)n;
    return 0;
}

bool
signal_handlers_run_no_code() noexcept
{
    assert(!PyErr_Occurred());
    const SignalCapture &c = captured_signals;
    if (c.read == nullptr) {
        return false;
    }
    for (int n = 1; n < c.count; n++) {
        PyObject *number = PyLong_FromLong(n);  // a small int: never fails
        PyObject *handler = c.read(c.module, number);
        Py_DECREF(number);
        if (handler == NULL) {
            PyErr_Clear();  // cannot tell: the reader checks at every line
            return false;
        }
        // None or an int stands for no handler of the module's (SIG_DFL,
        // SIG_IGN, or one set outside it), whose signals the check never
        // sees arrive.
        bool quiet = handler == Py_None || PyLong_CheckExact(handler)
                     || handler == c.default_int_handler;
        Py_DECREF(handler);
        if (!quiet) {
            return false;
        }
    }
    return true;
}

}  // namespace fernlake
