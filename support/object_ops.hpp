// Object operations of the method bodies that have a shape of their own:
// raising a class, fetching an item, unpacking a pair, comparing texts and
// taking truth values.
#ifndef FERNLAKE_SUPPORT_OBJECT_OPS_HPP
#define FERNLAKE_SUPPORT_OBJECT_OPS_HPP

#include <Python.h>

namespace fernlake::support {

/// Raises `exc` (borrowed): an exception instance as it is, an exception
/// class called without arguments. Always returns -1 with an exception set.
int raise_object(PyObject *exc) noexcept;

/// New reference: `obj[key]`, through the mapping subscript of its type when
/// it has one, else as a sequence index.
PyObject *get_item(PyObject *obj, PyObject *key) noexcept;

/// Unpacks `seq` into exactly two new references. 0, or -1 with an
/// exception set and both outputs null.
int unpack_pair(PyObject *seq, PyObject **first, PyObject **second) noexcept;

/// Raises the ValueError of unpacking `n` values where two were expected.
/// Returns -1.
int raise_unpack_error(Py_ssize_t n) noexcept;

/// Ends an iteration whose next item was null: clears a pending
/// StopIteration (or subclass) and returns 0, or returns -1 when another
/// error is pending.
int end_of_iteration() noexcept;

/// The truth value of `obj`: 1, 0, or -1 on failure.
inline int
is_true(PyObject *obj) noexcept
{
    if (obj == Py_True) {
        return 1;
    }
    if (obj == Py_False || obj == Py_None) {
        return 0;
    }
    return PyObject_IsTrue(obj);
}

}  // namespace fernlake::support

#endif
