// Argument binding for the methods: every parameter required, each by
// position or by keyword, wrong calls rejected with fixed TypeError
// messages. The bound values are held for the duration of the call.
#ifndef FERNLAKE_SUPPORT_BINDING_HPP
#define FERNLAKE_SUPPORT_BINDING_HPP

#include <Python.h>

namespace fernlake::support {

/// The parameters of one method.
struct Signature {
    const char *name;          // the method's plain name, used in messages
    PyObject **const *params;  // interned, hashed names; null-terminated
    Py_ssize_t count;          // number of parameters
};

/// Fills values[0..count) with new references bound from the `npos`
/// positional arguments `pos` (read only when `npos` is at most the count)
/// and `kwds` (a dictionary or null); the caller releases them with
/// release_values() once the call is over. Returns 0 when bound; else an
/// exception is set, nothing is held and the result numbers the failure:
/// 1 for a wrong positional count or a missing `self`, 1 + i for the
/// missing parameter i, count + 1 for a failed keyword check or a keyword
/// lookup that raised.
int bind(const Signature &sig, PyObject *const *pos, Py_ssize_t npos,
         PyObject *kwds, PyObject **values) noexcept;

/// Releases the bound values of a call, leaving the slots null.
void release_values(PyObject **values, Py_ssize_t count) noexcept;

}  // namespace fernlake::support

#endif
