// Argument binding for the methods: every parameter required, each by
// position or by keyword, values borrowed from the caller's tuple and
// dictionary, wrong calls rejected with fixed TypeError messages.
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

/// Results of `bind` besides the index (1 to count - 1) of a parameter that
/// was found neither among the positional arguments nor the keywords.
enum BindResult : int {
    BIND_OK = 0,
    BIND_POSITIONAL = -1,  // wrong positional count, or `self` missing
    BIND_KEYWORDS = -2,    // the keyword check failed
};

/// Fills values[0..count) with borrowed references bound from `args` (a
/// tuple) and `kwds` (a dictionary or null). Anything but BIND_OK comes
/// with an exception set and the values undefined.
int bind(const Signature &sig, PyObject *args, PyObject *kwds,
         PyObject **values) noexcept;

}  // namespace fernlake::support

#endif
