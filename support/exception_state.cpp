#include "exception_state.hpp"

#include "interpreter.hpp"

namespace fernlake::support {

ExceptionTriple
save_handled() noexcept
{
    // The top item of the handled-exception stack, as it is: inside a
    // generator or coroutine that is the frame's own item, which may be
    // empty while an outer frame handles an exception.
    ExceptionTriple saved;
    get_top_handled(&saved.type, &saved.value, &saved.traceback);
    return saved;
}

void
reset_handled(ExceptionTriple &saved) noexcept
{
    PyErr_SetExcInfo(saved.type, saved.value, saved.traceback);
    saved = ExceptionTriple{};
}

namespace {

/// The pending exception, moved out of the thread's error state, which is
/// left clear.
ExceptionTriple
take_pending() noexcept
{
    ExceptionTriple e;
    PyErr_Fetch(&e.type, &e.value, &e.traceback);
    return e;
}

}  // namespace

void
take_up_pending(ExceptionTriple &out) noexcept
{
    ExceptionTriple e = take_pending();
    // Normalising cannot fail to give an instance: a failure of its own
    // takes the place of the pending exception, in the triple.
    PyErr_NormalizeException(&e.type, &e.value, &e.traceback);
    if (e.traceback != NULL) {
        PyException_SetTraceback(e.value, e.traceback);  // a traceback
    }
    Py_XINCREF(e.type);
    Py_XINCREF(e.value);
    Py_XINCREF(e.traceback);
    PyErr_SetExcInfo(e.type, e.value, e.traceback);
    out = e;
}

void
restore_pending(ExceptionTriple &failure) noexcept
{
    PyErr_Restore(failure.type, failure.value, failure.traceback);
    failure = ExceptionTriple{};
}

}  // namespace fernlake::support
