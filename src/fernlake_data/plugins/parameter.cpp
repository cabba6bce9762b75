// The class Parameter: the bodies and records of __init__, __getitem__ and
// __setitem__, whose store is the instance's own attribute dictionary.
#define PARAM_SOURCE_ID 2

#include <Python.h>

#include "names.hpp"
#include "parameter_methods.hpp"
#include "shortcuts.hpp"
#include "source_positions.hpp"
#include "support/call.hpp"
#include "support/lookup.hpp"
#include "support/object_ops.hpp"

namespace fernlake {

using support::add_traceback;

namespace {

/// New reference: `self.__dict__`, or null with an exception set. Where
/// attribute lookup on `self` is the class's own, that is what the
/// descriptor of `__dict__` that type() gave the class (and which cannot
/// be replaced) gives.
PyObject *
store_of(PyObject *self) noexcept
{
    if (!looked_up_plainly(self)) {
        return support::get_attr(self, str___dict__);
    }
    PARAM_SHORTCUT_RAN(own_store);
    return PyObject_GenericGetDict(self, NULL);
}

/// __init__(self, path): sets `path` and reads the file at `path` through
/// `self.read_param`. New reference to None.
PyObject *
init_body(PyObject *const *args) noexcept
{
    PyObject *self = args[0], *path = args[1];
    PyObject *read = NULL, *result = NULL;
    int pos, line, own;

    line = 9;
    if (support::set_attr(self, str_path, path) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    line = 10;
    own = look_up_own_read_param(self, &read);
    if (own == 0) {
        read = support::get_attr(self, str_read_param);
    }
    if (own < 0 || (own == 0 && read == NULL)) {
        pos = IMPL_POS;
        goto error;
    }
    if (read == NULL) {
        // The class's method, called as its bound method would call it.
        PARAM_SHORTCUT_RAN(own_read);
        result = support::run_body(method_read_param, args);
    }
    else {
        result = support::call_split(read, &path, 1);  // consumes `read`
    }
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

// The call of keys() fails at one point, whether it is made or replayed.
constexpr int keys_call_pos = IMPL_POS;

/// 1 when `key` is among `dict.keys()` for the attribute dictionary `dict`
/// (stolen), 0 when it is not, -1 on failure with `*pos` set.
int
store_has_key(PyObject *dict, PyObject *key, int *pos) noexcept
{
    int found;
    if (keys_test_plainly(dict)) {
        PARAM_SHORTCUT_RAN(keys_test);
        // The keys of a dict test membership as the dict does, with the
        // same calls of the key's __hash__ and __eq__, and hold the dict
        // meanwhile. Only the recursion guard of the call of keys() is
        // made, to fail where the call would.
        if (support::replay_call_guard() < 0) {
            Py_DECREF(dict);
            *pos = keys_call_pos;
            return -1;
        }
        found = PyDict_Contains(dict, key);
        Py_DECREF(dict);
    }
    else {
        PyObject *keys = support::get_attr(dict, str_keys);
        Py_DECREF(dict);
        if (keys == NULL) {
            *pos = IMPL_POS;
            return -1;
        }
        keys = support::call_split(keys, NULL, 0);
        if (keys == NULL) {
            *pos = keys_call_pos;
            return -1;
        }
        found = PySequence_Contains(keys, key);
        Py_DECREF(keys);
    }
    if (found < 0) {
        *pos = IMPL_POS;
    }
    return found;
}

}  // namespace

/// __getitem__(self, key): new reference to the value stored under `key`
/// in the attribute dictionary of `self`. A key that is not stored raises
/// KeyError without arguments.
PyObject *
getitem_body(PyObject *const *args) noexcept
{
    PyObject *self = args[0], *key = args[1];
    PyObject *dict = NULL, *value = NULL;
    int pos, line, found;

    line = 13;
    dict = store_of(self);
    if (dict == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    found = store_has_key(dict, key, &pos);
    dict = NULL;  // consumed
    if (found < 0) {
        goto error;
    }
    if (!found) {
        return raise_missing_key();
    }
    // A fresh lookup: code run by the membership test may have replaced
    // the dictionary.
    line = 15;
    dict = store_of(self);
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

PyObject *
raise_missing_key() noexcept
{
    support::raise_object(builtin_KeyError);
    add_traceback(method___getitem__.routine, IMPL_POS, 14);
    return NULL;
}

/// __setitem__(self, key, value): stores `value` under `key` in the
/// attribute dictionary of `self` by its own item assignment. 0, or -1 with
/// an exception set and the method's traceback entry added.
int
store_item(PyObject *self, PyObject *key, PyObject *value) noexcept
{
    PyObject *dict = NULL;
    int pos, line = 18;

    item_credit++;
    dict = store_of(self);
    if (dict == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    // A dict's item assignment is PyDict_SetItem.
    if ((PyDict_CheckExact(dict) ? PyDict_SetItem(dict, key, value)
                                 : PyObject_SetItem(dict, key, value))
        < 0) {
        pos = IMPL_POS;
        goto error;
    }
    Py_DECREF(dict);
    return 0;

error:
    add_traceback(method___setitem__.routine, pos, line);
    Py_XDECREF(dict);
    return -1;
}

/// The body of __setitem__: store_item() on its arguments. New reference
/// to None.
PyObject *
setitem_body(PyObject *const *args) noexcept
{
    if (store_item(args[0], args[1], args[2]) < 0) {
        return NULL;
    }
    Py_RETURN_NONE;
}

namespace {

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

PARAM_METHOD(__init__, 8, init_params, init_points, init_body, no_locals,
             Returns::none);
PARAM_METHOD(__getitem__, 12, getitem_params, getitem_points, getitem_body);
PARAM_METHOD(__setitem__, 17, setitem_params, setitem_points, setitem_body);

namespace {

support::MethodRecord *const methods[] = {
    &method___init__,
    &method___getitem__,
    &method___setitem__,
    &method_read_param,  // in reader.cpp
};

}  // namespace

const MethodList parameter_methods = {methods,
                                      sizeof(methods) / sizeof(methods[0])};

}  // namespace fernlake

PARAM_SOURCE_END;
