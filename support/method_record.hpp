// The record of one method that the function type carries: everything the
// call, the binding, the traceback entries and the method's code object
// need to know about it, and the one entry point that all records share.
#ifndef FERNLAKE_SUPPORT_METHOD_RECORD_HPP
#define FERNLAKE_SUPPORT_METHOD_RECORD_HPP

#include <Python.h>

#include "binding.hpp"
#include "traceback.hpp"

namespace fernlake::support {

/// A method's body: called with its bound arguments (borrowed, in
/// parameter order); a new reference, or null with an exception set and
/// the body's own traceback entry added.
using MethodBody = PyObject *(*)(PyObject *const *args) noexcept;

/// The most parameters a method may have.
constexpr Py_ssize_t max_params = 3;

struct MethodRecord {
    /// Name, the shared entry point, call flags, no doc. First, so that
    /// the function object's method record leads back to this record.
    PyMethodDef def;
    Routine routine;            // names the method's traceback entries
    int line;                   // of the definition: binding failures, code
    Signature signature;        // the parameters, as binding matches them
    PyObject **const *locals;   // further local names; null-terminated
    const int *binding_points;  // by binding failure number, from 1
    MethodBody body;
    PyObject **name;            // the interned name, for the class namespace
    PyObject **qualname;        // the interned qualified name
    PyObject *code;             // made at module execution: describes it
    bool returns_none;          // annotated as returning None
};

/// The entry point of every method record (of METH_VARARGS |
/// METH_KEYWORDS): binds `args` and `kwds` to the parameters
/// of the record that `func` carries and calls its body. A binding failure
/// adds the traceback entry of its failure point at the line of the
/// definition. New reference, or null with an exception set.
PyObject *bind_and_call(PyObject *func, PyObject *args,
                        PyObject *kwds) noexcept;

/// New reference: the call of the function object of `m` bound to `self`
/// with the positional arguments `args` (a tuple) and `kwds` (a dictionary
/// or null), as the interpreter makes it through a bound method: inside the
/// recursion guard, bind_and_call()'s work on (self, *args) and `kwds`.
PyObject *call_as_bound_method(const MethodRecord &m, PyObject *self,
                               PyObject *args, PyObject *kwds) noexcept;

/// New reference: the body of `m` called on `args` (borrowed; as many as
/// it has parameters) inside the recursion guard: a call of its function
/// object with exactly these positional arguments, and no binding to do.
PyObject *run_body(const MethodRecord &m, PyObject *const *args) noexcept;

/// The method record that a function object carries, which must be one of
/// the records above.
inline MethodRecord &
record_of(PyObject *func) noexcept
{
    return *reinterpret_cast<MethodRecord *>(
        reinterpret_cast<PyCFunctionObject *>(func)->m_ml);
}

}  // namespace fernlake::support

#endif
