// The exception a thread is handling, as a with-statement saves, replaces
// and restores it around its exit call, and the pending exception taken up
// as the one handled or made pending again.
#ifndef FERNLAKE_SUPPORT_EXCEPTION_STATE_HPP
#define FERNLAKE_SUPPORT_EXCEPTION_STATE_HPP

#include <Python.h>

namespace fernlake::support {

/// An exception as type, value and traceback; each counted or null.
struct ExceptionTriple {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;

    void
    clear() noexcept
    {
        Py_CLEAR(type);
        Py_CLEAR(value);
        Py_CLEAR(traceback);
    }
};

/// New references to what the top item of the thread's handled-exception
/// stack holds (possibly nothing), as a with-statement saves it before its
/// exit call; reset_handled() puts it back into that same item.
ExceptionTriple save_handled() noexcept;

/// Makes `saved` (stolen, left empty) the exception being handled,
/// releasing the one there now.
void reset_handled(ExceptionTriple &saved) noexcept;

/// Takes the pending exception out of the error state, normalises it,
/// attaches its traceback to the value and makes it the exception being
/// handled. New references in `out`.
void take_up_pending(ExceptionTriple &out) noexcept;

/// Makes `failure` (stolen, left empty) the pending exception, releasing
/// whatever is pending now.
void restore_pending(ExceptionTriple &failure) noexcept;

}  // namespace fernlake::support

#endif
