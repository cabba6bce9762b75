// The call paths of the method bodies: positional arguments only, no
// argument tuple where the callee's own convention allows it, and the
// interpreter's recursion guard around every path that may recurse.
#ifndef FERNLAKE_SUPPORT_CALL_HPP
#define FERNLAKE_SUPPORT_CALL_HPP

#include <Python.h>

#include "interpreter.hpp"

namespace fernlake::support {

/// The text the recursion guard adds to the RecursionError of a call.
extern const char call_guard_text[];

/// What `run()` returns (a new reference or null), run inside the
/// recursion guard of a call: null with RecursionError, and `run` not run,
/// when the guard refuses.
template <typename Run>
PyObject *
in_call_guard(Run &&run) noexcept
{
    RecursionGuard guard;
    if (guard.enter(call_guard_text) < 0) {
        return NULL;
    }
    PyObject *result = run();
    guard.leave();
    return result;
}

/// The recursion-guard entry of a call that a shortcut skips, made and left
/// again, so that a RecursionError surfaces where the call would raise it.
/// 0, or -1 with the error set.
inline int
replay_call_guard() noexcept
{
    // Nothing runs inside; the borrowed None only tells success apart.
    return in_call_guard([] { return Py_None; }) == NULL ? -1 : 0;
}

/// New reference: `func(*args, **kwds)` through its type's call slot inside
/// the recursion guard (all borrowed; `kwds` may be null). A type without a
/// call slot is left to PyObject_Call, which reports it as not callable.
PyObject *call_tuple(PyObject *func, PyObject *args, PyObject *kwds) noexcept;

/// New reference: `func(args[0], ..., args[n-1])`, all borrowed, n at most 3.
/// Interpreted functions run directly on the argument array; native
/// functions are called by their own convention where it fits the call;
/// anything else receives a new argument tuple.
PyObject *call_vector(PyObject *func, PyObject *const *args,
                      Py_ssize_t n) noexcept;

/// New reference: calls `callable` (stolen) with args[0..n), n at most 2.
/// A bound method of the interpreter's method type is split first: the
/// method is released and its function called with the instance prepended.
PyObject *call_split(PyObject *callable, PyObject *const *args,
                     Py_ssize_t n) noexcept;

}  // namespace fernlake::support

#endif
