#include "traceback.hpp"

#include <frameobject.h>

#include "lookup.hpp"
#include "process.hpp"
#include "refs.hpp"

namespace fernlake::support {

namespace {

CodeCache code_cache;
DictMemo switch_memo;

/// The thread's pending exception, moved out of its error state.
struct PendingError {
    PyObject *type, *value, *traceback;
};

PendingError
take_pending(PyThreadState *tstate) noexcept
{
    PendingError e{tstate->curexc_type, tstate->curexc_value,
                   tstate->curexc_traceback};
    tstate->curexc_type = NULL;
    tstate->curexc_value = NULL;
    tstate->curexc_traceback = NULL;
    return e;
}

/// Puts `e` back as the pending exception, releasing whatever is set now.
void
restore_pending(PyThreadState *tstate, PendingError e) noexcept
{
    PyObject *type = tstate->curexc_type;
    PyObject *value = tstate->curexc_value;
    PyObject *traceback = tstate->curexc_traceback;
    tstate->curexc_type = e.type;
    tstate->curexc_value = e.value;
    tstate->curexc_traceback = e.traceback;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
}

/// The switch's value (borrowed) or null when the attribute is absent; never
/// an error. Called with the error indicator clear.
PyObject *
switch_value(Owned &held) noexcept
{
    PyObject **dictptr = _PyObject_GetDictPtr(runtime_module);
    if (dictptr != NULL && *dictptr != NULL) {
        PyObject *value = memo_lookup(switch_memo, *dictptr, switch_name);
        if (value == NULL) {
            PyErr_Clear();  // a failed lookup reads as an absent switch
        }
        // The truth test below may run code that drops the entry.
        held = Owned::incref(value);
        return value;
    }
    held = Owned::steal(get_attr(runtime_module, switch_name));
    if (!held) {
        PyErr_Clear();
        return NULL;
    }
    return PyObject_Not(held.get()) ? Py_False : Py_True;
}

}  // namespace

int
read_switch(int impl_pos) noexcept
{
    if (runtime_module == NULL) {
        return impl_pos;
    }
    PyThreadState *tstate = _PyThreadState_UncheckedGet();
    PendingError saved = take_pending(tstate);
    int result;
    {
        Owned held;
        PyObject *value = switch_value(held);
        if (value == NULL) {
            result = 0;
            if (PyObject_SetAttr(runtime_module, switch_name, Py_False) < 0) {
                PyErr_Clear();
            }
        }
        else if (value == Py_False) {
            result = 0;
        }
        else if (value == Py_True) {
            result = impl_pos;
        }
        else {
            result = PyObject_Not(value) == 0 ? impl_pos : 0;
        }
    }
    restore_pending(tstate, saved);
    return result;
}

PyObject *
create_code(const Routine &routine, int impl_pos, int line) noexcept
{
    Owned formatted;
    const char *name = routine.name;
    if (impl_pos != 0) {
        formatted = Owned::steal(PyUnicode_FromFormat(
            "%s (%s:%d)", routine.name, routine.impl_file, impl_pos));
        if (!formatted) {
            return NULL;
        }
        name = PyUnicode_AsUTF8(formatted.get());
        if (name == NULL) {
            return NULL;
        }
    }
    // The code object keeps copies of both texts.
    return (PyObject *)PyCode_NewEmpty(routine.file, name, line);
}

void
add_traceback(const Routine &routine, int impl_pos, int line) noexcept
{
    assert(PyErr_Occurred());
    assert(module_namespace != NULL);
    PyThreadState *tstate = _PyThreadState_UncheckedGet();
    if (impl_pos != 0) {
        impl_pos = read_switch(impl_pos);
    }
    int key = impl_pos != 0 ? -impl_pos : line;
    PyObject *code = code_cache.find(key);
    if (code == NULL) {
        PendingError saved = take_pending(tstate);
        code = create_code(routine, impl_pos, line);
        if (code == NULL) {
            // The creation's own error is what propagates.
            Py_XDECREF(saved.type);
            Py_XDECREF(saved.value);
            Py_XDECREF(saved.traceback);
            return;
        }
        restore_pending(tstate, saved);
        code_cache.insert(key, code);
    }
    PyFrameObject *frame =
        PyFrame_New(tstate, (PyCodeObject *)code, module_namespace, NULL);
    if (frame != NULL) {
        frame->f_lineno = line;
        PyTraceBack_Here(frame);
    }
    Py_DECREF(code);
    Py_XDECREF(frame);
}

const CodeCache &
traceback_code_cache() noexcept
{
    return code_cache;
}

}  // namespace fernlake::support
