#include "object_ops.hpp"

#include "interpreter.hpp"
#include "refs.hpp"

namespace fernlake::support {

namespace {

/// New reference: `obj[index]` for an object with sequence item access only.
PyObject *
get_sequence_item(PyObject *obj, PyObject *key) noexcept
{
    PySequenceMethods *seq = Py_TYPE(obj)->tp_as_sequence;
    if (seq == NULL || seq->sq_item == NULL) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable",
                     Py_TYPE(obj)->tp_name);
        return NULL;
    }
    Py_ssize_t index = -1;
    Owned number = Owned::steal(PyNumber_Index(key));
    if (number) {
        index = PyLong_AsSsize_t(number.get());
    }
    if (index == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_IndexError,
                         "cannot fit '%.200s' into an index-sized integer",
                         Py_TYPE(key)->tp_name);
        }
        return NULL;
    }
    if (index < 0 && seq->sq_length != NULL) {
        Py_ssize_t length = seq->sq_length(obj);
        if (length >= 0) {
            index += length;
        }
        else if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();  // the index goes on as it is
        }
        else {
            return NULL;
        }
    }
    return seq->sq_item(obj, index);
}

}  // namespace

/// Raises ValueError for `n` values where two were expected. Returns -1.
int
raise_unpack_error(Py_ssize_t n) noexcept
{
    if (n > 2) {
        PyErr_Format(PyExc_ValueError,
                     "too many values to unpack (expected %zd)",
                     (Py_ssize_t)2);
    }
    else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack",
                     n, n == 1 ? "" : "s");
    }
    return -1;
}

int
raise_object(PyObject *exc) noexcept
{
    if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject((PyObject *)Py_TYPE(exc), exc);
        return -1;
    }
    if (!PyExceptionClass_Check(exc)) {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of "
                        "BaseException");
        return -1;
    }
    // The class called without arguments, without an argument tuple.
    Owned instance = Owned::steal(PyObject_CallNoArgs(exc));
    if (!instance) {
        return -1;
    }
    if (!PyExceptionInstance_Check(instance.get())) {
        PyErr_Format(PyExc_TypeError,
                     "calling %R should have returned an instance of "
                     "BaseException, not %R",
                     exc, Py_TYPE(instance.get()));
        return -1;
    }
    PyErr_SetObject(exc, instance.get());
    return -1;
}

PyObject *
get_item(PyObject *obj, PyObject *key) noexcept
{
    PyMappingMethods *map = Py_TYPE(obj)->tp_as_mapping;
    if (map != NULL && map->mp_subscript != NULL) {
        return map->mp_subscript(obj, key);
    }
    return get_sequence_item(obj, key);
}

int
end_of_iteration() noexcept
{
    PyObject *error = PyErr_Occurred();
    if (error == NULL) {
        return 0;
    }
    if (!PyErr_GivenExceptionMatches(error, PyExc_StopIteration)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

int
unpack_pair(PyObject *seq, PyObject **first, PyObject **second) noexcept
{
    *first = *second = NULL;
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        Py_ssize_t n = Py_SIZE(seq);
        if (n != 2) {
            return raise_unpack_error(n);
        }
        PyObject **items = PyTuple_CheckExact(seq)
                               ? &PyTuple_GET_ITEM(seq, 0)
                               : &PyList_GET_ITEM(seq, 0);
        Py_INCREF(items[0]);
        Py_INCREF(items[1]);
        *first = items[0];
        *second = items[1];
        return 0;
    }
    Owned iter = Owned::steal(PyObject_GetIter(seq));
    if (!iter) {
        return -1;
    }
    iternextfunc next = Py_TYPE(iter.get())->tp_iternext;
    Owned a = Owned::steal(next(iter.get()));
    Owned b;
    if (a) {
        b = Owned::steal(next(iter.get()));
    }
    if (!b) {
        if (end_of_iteration() < 0) {
            return -1;
        }
        return raise_unpack_error(a ? 1 : 0);
    }
    Owned extra = Owned::steal(next(iter.get()));
    if (extra) {
        return raise_unpack_error(3);
    }
    if (end_of_iteration() < 0) {
        return -1;
    }
    *first = a.release();
    *second = b.release();
    return 0;
}

}  // namespace fernlake::support
