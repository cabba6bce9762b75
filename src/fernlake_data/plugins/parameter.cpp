// The methods __init__, __getitem__ and __setitem__ of Parameter, whose
// store is the instance's own attribute dictionary, and their binding
// entries.
#define PARAM_SOURCE_ID 2

#include <Python.h>

#include "methods.hpp"
#include "names.hpp"
#include "routines.hpp"
#include "support/binding.hpp"
#include "support/call.hpp"
#include "support/lookup.hpp"
#include "support/ops.hpp"

namespace fernlake {

using support::add_traceback;

namespace {

/// Sets `path` and reads the file at `path` through `self.read_param`.
/// Arguments borrowed; new reference to None.
PyObject *
init_body(PyObject *self, PyObject *path) noexcept
{
    PyObject *read = NULL, *result = NULL;
    int pos, line;

    line = 9;
    if (support::set_attr(self, str_path, path) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    line = 10;
    read = support::get_attr(self, str_read_param);
    if (read == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    result = support::call_split(read, &path, 1);
    read = NULL;  // consumed by the call
    if (result == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    Py_DECREF(result);  // whatever read_param returns is ignored
    Py_RETURN_NONE;

error:
    add_traceback(routine___init__, pos, line);
    return NULL;
}

/// New reference: the value stored under `key` in the attribute dictionary
/// of `self`. A key that is not stored raises KeyError without arguments.
PyObject *
getitem_body(PyObject *self, PyObject *key) noexcept
{
    PyObject *dict = NULL, *keys = NULL, *value = NULL;
    int pos, line, found;

    line = 13;
    dict = support::get_attr(self, str___dict__);
    if (dict == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    keys = support::get_attr(dict, str_keys);
    Py_CLEAR(dict);
    if (keys == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    keys = support::call_split(keys, NULL, 0);
    if (keys == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    found = PySequence_Contains(keys, key);
    Py_CLEAR(keys);
    if (found < 0) {
        pos = IMPL_POS;
        goto error;
    }
    if (!found) {
        line = 14;
        support::raise_object(builtin_KeyError);
        pos = IMPL_POS;
        goto error;
    }
    // A fresh lookup: code run by the membership test may have replaced
    // the dictionary.
    line = 15;
    dict = support::get_attr(self, str___dict__);
    if (dict == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    value = support::get_item(dict, key);
    if (value == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    Py_DECREF(dict);
    return value;

error:
    add_traceback(routine___getitem__, pos, line);
    Py_XDECREF(dict);
    return NULL;
}

/// Stores `value` under `key` in the attribute dictionary of `self` by its
/// own item assignment. Arguments borrowed; new reference to None.
PyObject *
setitem_body(PyObject *self, PyObject *key, PyObject *value) noexcept
{
    PyObject *dict = NULL;
    int pos;

    dict = support::get_attr(self, str___dict__);
    if (dict == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    if (PyObject_SetItem(dict, key, value) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    Py_DECREF(dict);
    Py_RETURN_NONE;

error:
    add_traceback(routine___setitem__, pos, 18);
    Py_XDECREF(dict);
    return NULL;
}

PyObject **const init_params[] = {&str_self, &str_path, NULL};
PyObject **const getitem_params[] = {&str_self, &str_key, NULL};
PyObject **const setitem_params[] = {&str_self, &str_key, &str_value, NULL};

const support::Signature init_signature{"__init__", init_params, 2};
const support::Signature getitem_signature{"__getitem__", getitem_params, 2};
const support::Signature setitem_signature{"__setitem__", setitem_params, 3};

// The failure points of binding, in the order the binding numbers them.
const int init_binding[] = {
    IMPL_POS,  // wrong positional count, or `self` missing
    IMPL_POS,  // `path` missing
    IMPL_POS,  // keyword check
};
const int getitem_binding[] = {
    IMPL_POS,  // wrong positional count, or `self` missing
    IMPL_POS,  // `key` missing
    IMPL_POS,  // keyword check
};
const int setitem_binding[] = {
    IMPL_POS,  // wrong positional count, or `self` missing
    IMPL_POS,  // `key` missing
    IMPL_POS,  // `value` missing
    IMPL_POS,  // keyword check
};

// Binding entries: the function object calls them with the positional
// tuple and the keyword dictionary. A binding failure reports the line of
// the method's definition.

PyObject *
init_entry(PyObject *, PyObject *args, PyObject *kwds) noexcept
{
    PyObject *v[2];
    int failure = support::bind(init_signature, args, kwds, v);
    if (failure) {
        return binding_failed(routine___init__, init_binding, failure, 8);
    }
    PyObject *result = init_body(v[0], v[1]);
    support::release_values(v, 2);
    return result;
}

PyObject *
getitem_entry(PyObject *, PyObject *args, PyObject *kwds) noexcept
{
    PyObject *v[2];
    int failure = support::bind(getitem_signature, args, kwds, v);
    if (failure) {
        return binding_failed(routine___getitem__, getitem_binding, failure,
                              12);
    }
    PyObject *result = getitem_body(v[0], v[1]);
    support::release_values(v, 2);
    return result;
}

PyObject *
setitem_entry(PyObject *, PyObject *args, PyObject *kwds) noexcept
{
    PyObject *v[3];
    int failure = support::bind(setitem_signature, args, kwds, v);
    if (failure) {
        return binding_failed(routine___setitem__, setitem_binding, failure,
                              17);
    }
    PyObject *result = setitem_body(v[0], v[1], v[2]);
    support::release_values(v, 3);
    return result;
}

}  // namespace

PyMethodDef method___init__ = {
    "__init__", (PyCFunction)(void (*)(void))init_entry,
    METH_VARARGS | METH_KEYWORDS, NULL};
PyMethodDef method___getitem__ = {
    "__getitem__", (PyCFunction)(void (*)(void))getitem_entry,
    METH_VARARGS | METH_KEYWORDS, NULL};
PyMethodDef method___setitem__ = {
    "__setitem__", (PyCFunction)(void (*)(void))setitem_entry,
    METH_VARARGS | METH_KEYWORDS, NULL};

}  // namespace fernlake

PARAM_SOURCE_END;
