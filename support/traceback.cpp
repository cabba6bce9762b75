#include "traceback.hpp"

#include "code_cache.hpp"
#include "entry_frames.hpp"
#include "interpreter.hpp"
#include "lookup.hpp"
#include "process_state.hpp"
#include "refs.hpp"

namespace fernlake::support {

namespace {

CodeCache code_cache;
DictMemo switch_memo;

/// The switch's value (borrowed) or null when the attribute is absent; never
/// an error. Called with the error indicator clear.
PyObject *
switch_value(Owned &held) noexcept
{
    PyObject *dict = instance_dict(runtime_module);
    if (dict != NULL) {
        PyObject *value = memo_lookup(switch_memo, dict, switch_name);
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

/// True when `code` carries the plain name of `routine`. A line serves as
/// the key of every routine failing there, so a hit must be checked.
bool
names_routine(PyObject *code, const Routine &routine) noexcept
{
    return PyUnicode_CompareWithASCIIString(code_name(code), routine.name)
           == 0;
}

/// The switch's truth: `impl_pos` while it is true, else 0. Called with no
/// exception pending.
int
switch_position(int impl_pos) noexcept
{
    if (runtime_module == NULL) {
        return impl_pos;
    }
    assert(switch_name != NULL);  // made before the runtime module is held
    Owned held;
    PyObject *value = switch_value(held);
    if (value == NULL) {
        if (PyObject_SetAttr(runtime_module, switch_name, Py_False) < 0) {
            PyErr_Clear();
        }
        return 0;
    }
    if (value == Py_False || value == Py_True) {
        return value == Py_True ? impl_pos : 0;
    }
    int off = PyObject_Not(value);
    PyErr_Clear();  // a switch that cannot tell is off
    return off == 0 ? impl_pos : 0;
}

/// New reference: the code object of a traceback entry, from the cache or
/// made and cached; null with an exception set. Called with no exception
/// pending.
PyObject *
entry_code(const Routine &routine, int impl_pos, int line) noexcept
{
    int key = impl_pos != 0 ? -impl_pos : line;
    PyObject *code = code_cache.find(key);
    if (code != NULL && key > 0 && !names_routine(code, routine)) {
        // Another routine failed at this line before: the entry is replaced.
        Py_CLEAR(code);
    }
    if (code != NULL && code_first_line(code) != line) {
        // The entry's line is its code's first line: a point that fails
        // at another line than before (a step run for each method) needs
        // a code object of its own.
        Py_CLEAR(code);
    }
    if (code == NULL) {
        code = create_code(routine, impl_pos, line);
        if (code != NULL) {
            code_cache.insert(key, code);
        }
    }
    return code;
}

}  // namespace

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
    // The failure is set aside while the entry is made: reading the switch
    // may run code, and making a frame looks names up in the globals,
    // which would take a pending exception for a failure of their own.
    SetAside failure;
    if (impl_pos != 0) {
        impl_pos = switch_position(impl_pos);
    }
    PyObject *code = entry_code(routine, impl_pos, line);
    PyFrameObject *frame =
        code == NULL ? NULL : entry_frame(code, module_namespace);
    Py_XDECREF(code);
    if (frame == NULL) {
        return;  // the error of making the entry propagates
    }
    failure.put_back();
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace fernlake::support
