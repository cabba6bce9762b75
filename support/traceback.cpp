#include "traceback.hpp"

#include "code_cache.hpp"
#include "exception_state.hpp"
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

}  // namespace

int
read_switch(int impl_pos) noexcept
{
    if (runtime_module == NULL) {
        return impl_pos;
    }
    assert(switch_name != NULL);  // made before the runtime module is held
    ExceptionTriple saved = take_pending();
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
    restore_pending(saved);
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
    if (impl_pos != 0) {
        impl_pos = read_switch(impl_pos);
    }
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
        ExceptionTriple saved = take_pending();
        code = create_code(routine, impl_pos, line);
        if (code == NULL) {
            saved.clear();  // the creation's own error is what propagates
            return;
        }
        restore_pending(saved);
        code_cache.insert(key, code);
    }
    PyFrameObject *frame = traceback_frame(code, module_namespace);
    Py_DECREF(code);
    if (frame != NULL) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace fernlake::support
