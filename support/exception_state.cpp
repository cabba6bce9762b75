#include "exception_state.hpp"

namespace fernlake::support {

namespace {

/// Stores the triple (stolen) in the thread's current handled-exception
/// item, releasing the old contents afterwards.
void
swap_into_handled(PyObject *type, PyObject *value,
                  PyObject *traceback) noexcept
{
    _PyErr_StackItem *item = PyThreadState_GET()->exc_info;
    PyObject *old_type = item->exc_type;
    PyObject *old_value = item->exc_value;
    PyObject *old_traceback = item->exc_traceback;
    item->exc_type = type;
    item->exc_value = value;
    item->exc_traceback = traceback;
    Py_XDECREF(old_type);
    Py_XDECREF(old_value);
    Py_XDECREF(old_traceback);
}

}  // namespace

ExceptionTriple
save_handled() noexcept
{
    // The top item of the handled-exception stack, as it is: inside a
    // generator or coroutine that is the frame's own item, which may be
    // empty while an outer frame handles an exception.
    _PyErr_StackItem *item = PyThreadState_GET()->exc_info;
    ExceptionTriple saved;
    saved.type = item->exc_type;
    saved.value = item->exc_value;
    saved.traceback = item->exc_traceback;
    Py_XINCREF(saved.type);
    Py_XINCREF(saved.value);
    Py_XINCREF(saved.traceback);
    return saved;
}

void
reset_handled(ExceptionTriple &saved) noexcept
{
    swap_into_handled(saved.type, saved.value, saved.traceback);
    saved = ExceptionTriple{};
}

ExceptionTriple
take_pending() noexcept
{
    ExceptionTriple e;
    PyErr_Fetch(&e.type, &e.value, &e.traceback);
    return e;
}

int
take_up_pending(ExceptionTriple &out) noexcept
{
    ExceptionTriple e = take_pending();
    PyErr_NormalizeException(&e.type, &e.value, &e.traceback);
    if (PyErr_Occurred()) {
        e.clear();
        return -1;
    }
    // Only an exception instance can carry a traceback.
    if (e.traceback != NULL && PyExceptionInstance_Check(e.value)
        && PyException_SetTraceback(e.value, e.traceback) < 0) {
        e.clear();
        return -1;
    }
    Py_XINCREF(e.type);
    Py_XINCREF(e.value);
    Py_XINCREF(e.traceback);
    swap_into_handled(e.type, e.value, e.traceback);
    out = e;
    return 0;
}

void
restore_pending(ExceptionTriple &failure) noexcept
{
    PyErr_Restore(failure.type, failure.value, failure.traceback);
    failure = ExceptionTriple{};
}

}  // namespace fernlake::support
