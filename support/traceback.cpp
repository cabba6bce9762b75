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

/// True when `code` carries the plain name of `routine`. A line serves as
/// the key of every routine failing there, so a hit must be checked.
bool
names_routine(PyObject *code, const Routine &routine) noexcept
{
    return PyUnicode_CompareWithASCIIString(code_name(code), routine.name)
           == 0;
}

/// 1 while the switch is true, 0 while it is false or absent (an absent
/// one is then created as False), -1 with an exception set when reading,
/// testing or creating it failed (its lookup, its truth test and the
/// module's attribute assignment may run code of a caller's). Called with
/// no exception pending, once the runtime support module is held.
int
switch_on() noexcept
{
    assert(switch_name != NULL);  // made before the runtime module is held
    // A module always has its attribute dictionary.
    PyObject *dict = PyModule_GetDict(runtime_module);
    PyObject *value = memo_lookup(switch_memo, dict, switch_name);
    if (value == NULL) {
        if (PyErr_Occurred()) {
            return -1;
        }
        return PyObject_SetAttr(runtime_module, switch_name, Py_False) < 0
                   ? -1
                   : 0;
    }
    if (value == Py_True || value == Py_False) {
        return value == Py_True;
    }
    // The truth test may run code that deletes the attribute.
    Owned held = Owned::incref(value);
    return PyObject_IsTrue(value);
}

/// New reference: a code object for a traceback entry, whose name carries
/// the implementation position when `impl_pos` is not 0.
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

void
add_traceback(const Routine &routine, int impl_pos, int line) noexcept
{
    assert(PyErr_Occurred());
    assert(module_namespace != NULL);
    // The failure is set aside while the entry is made: reading the switch
    // may run code, and making a frame looks names up in the globals,
    // which would take a pending exception for a failure of their own.
    SetAside failure;
    if (impl_pos != 0 && runtime_module != NULL) {
        int on = switch_on();
        if (on < 0) {
            // An error of the switch's own code (a signal that arrived
            // there, say) is not lost: it propagates in place of the
            // failure, chained to it, and the entry shows no position.
            failure.replace_with_pending();
            on = 0;
        }
        impl_pos = on ? impl_pos : 0;
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
