// The methods __init__, __getitem__ and __setitem__ of Parameter, whose
// store is the instance's own attribute dictionary, and their records.
#define PARAM_SOURCE_ID 2

#include <Python.h>

#include "method_records.hpp"
#include "names.hpp"
#include "source_positions.hpp"
#include "support/call.hpp"
#include "support/lookup.hpp"
#include "support/object_ops.hpp"

namespace fernlake {

using support::add_traceback;

namespace {

/// __init__(self, path): sets `path` and reads the file at `path` through
/// `self.read_param`. New reference to None.
PyObject *
init_body(PyObject *const *args) noexcept
{
    PyObject *self = args[0], *path = args[1];
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
    add_traceback(method___init__.routine, pos, line);
    return NULL;
}

/// __getitem__(self, key): new reference to the value stored under `key`
/// in the attribute dictionary of `self`. A key that is not stored raises
/// KeyError without arguments.
PyObject *
getitem_body(PyObject *const *args) noexcept
{
    PyObject *self = args[0], *key = args[1];
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
    add_traceback(method___getitem__.routine, pos, line);
    Py_XDECREF(dict);
    return NULL;
}

/// __setitem__(self, key, value): stores `value` under `key` in the
/// attribute dictionary of `self` by its own item assignment. New
/// reference to None.
PyObject *
setitem_body(PyObject *const *args) noexcept
{
    PyObject *self = args[0], *key = args[1], *value = args[2];
    PyObject *dict = NULL;
    int pos, line = 18;

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
    add_traceback(method___setitem__.routine, pos, line);
    Py_XDECREF(dict);
    return NULL;
}

PyObject **const init_params[] = {&str_self, &str_path};
const int init_points[] = {
    IMPL_POS,  // wrong positional count, or `self` missing
    IMPL_POS,  // `path` missing
    IMPL_POS,  // keyword check
};
PyObject **const getitem_params[] = {&str_self, &str_key};
const int getitem_points[] = {
    IMPL_POS,  // wrong positional count, or `self` missing
    IMPL_POS,  // `key` missing
    IMPL_POS,  // keyword check
};
PyObject **const setitem_params[] = {&str_self, &str_key, &str_value};
const int setitem_points[] = {
    IMPL_POS,  // wrong positional count, or `self` missing
    IMPL_POS,  // `key` missing
    IMPL_POS,  // `value` missing
    IMPL_POS,  // keyword check
};

}  // namespace

support::MethodRecord method___init__ =
    PARAM_METHOD(__init__, 8, init_params, init_points, init_body);
support::MethodRecord method___getitem__ =
    PARAM_METHOD(__getitem__, 12, getitem_params, getitem_points,
                 getitem_body);
support::MethodRecord method___setitem__ =
    PARAM_METHOD(__setitem__, 17, setitem_params, setitem_points,
                 setitem_body);

}  // namespace fernlake

PARAM_SOURCE_END;
