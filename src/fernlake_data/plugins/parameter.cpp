// The class Parameter: the bodies and records of __init__, __getitem__ and
// __setitem__, whose store is the instance's own attribute dictionary, and
// the class's own slots for item access, item assignment and construction.
#define PARAM_SOURCE_ID 2

#include <Python.h>

#include "names.hpp"
#include "parameter.hpp"
#include "parameter_methods.hpp"
#include "path_counts.hpp"
#include "reader.hpp"
#include "source_positions.hpp"
#include "support/call.hpp"
#include "support/interpreter.hpp"
#include "support/lookup.hpp"
#include "support/method_function.hpp"
#include "support/object_ops.hpp"

namespace fernlake {

using support::add_traceback;

// The records of the methods defined here, at the end of the file.
extern support::MethodRecord method___init__;
extern support::MethodRecord method___getitem__;
extern support::MethodRecord method___setitem__;

namespace {

// The class as module execution made it, not held: like a class written in
// Python it lives as long as something refers to it. A weak reference
// forgets it as the class is freed, so that no other object ever made at
// its address can pass for it. Null before execution made it and after.
PyTypeObject *parameter_class = nullptr;
// The weak reference; kept once made, dead or not.
PyObject *class_watch = nullptr;

/// Callback of the weak reference: the class is being freed.
PyObject *
forget_class(PyObject *, PyObject *) noexcept
{
    parameter_class = nullptr;
    Py_RETURN_NONE;
}

PyMethodDef forget_class_def = {"forget_class", forget_class, METH_O, NULL};

/// True when `found`, the class attribute read_param, is the function
/// object that module execution made for it: the only object that carries
/// its record.
bool
is_own_read_param(PyObject *found) noexcept
{
    return found != NULL && support::is_method_function(found)
           && &support::record_of(found) == &method_read_param;
}

/// True when attribute lookup on `self` is what the class was made with:
/// `self` is exactly a Parameter, and its class still looks attributes up
/// generically.
bool
looked_up_plainly(PyObject *self) noexcept
{
    return Py_TYPE(self) == parameter_class
           && parameter_class->tp_getattro == PyObject_GenericGetAttr;
}

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
    PARAM_COUNT_PATH(own_store);
    return PyObject_GenericGetDict(self, NULL);
}

/// Looks `read_param` up on `self` where the lookup can only find the
/// class's own method or an instance attribute that hides it: `self` is
/// exactly a Parameter of generic lookup whose class still holds the
/// function it was made with. 1 when that is where the lookup ends, with
/// `*attr` a new reference to the instance attribute or null for the
/// method; 0 when the general lookup has to run; -1 when the lookup failed.
int
look_up_own_read_param(PyObject *self, PyObject **attr) noexcept
{
    *attr = NULL;
    if (!looked_up_plainly(self)
        || !is_own_read_param(
            support::type_lookup(parameter_class, str_read_param))) {
        return 0;
    }
    PyObject *dict;
    if (support::existing_instance_dict(self, &dict) < 0) {
        return -1;
    }
    if (dict == NULL) {
        return 1;
    }
    // The instance attribute comes first, as the generic lookup finds it,
    // with the dictionary held while its keys may run code.
    Py_INCREF(dict);
    *attr = PyDict_GetItemWithError(dict, str_read_param);
    Py_XINCREF(*attr);
    Py_DECREF(dict);
    return *attr != NULL || !PyErr_Occurred() ? 1 : -1;
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
        PARAM_COUNT_PATH(own_read);
        result = support::call_body(method_read_param, args);
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
    if (PyDict_CheckExact(dict)) {
        PARAM_COUNT_PATH(keys_test);
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
        line = 14;
        support::raise_object(builtin_KeyError);
        pos = IMPL_POS;
        goto error;
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

/// __setitem__(self, key, value): stores `value` under `key` in the
/// attribute dictionary of `self` by its own item assignment. New
/// reference to None.
PyObject *
setitem_body(PyObject *const *args) noexcept
{
    PyObject *self = args[0], *key = args[1], *value = args[2];
    PyObject *dict = NULL;
    int pos, line = 18;

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
    Py_RETURN_NONE;

error:
    add_traceback(method___setitem__.routine, pos, line);
    Py_XDECREF(dict);
    return NULL;
}

// Item deletion, which the class does not define, keeps the generic slot.
objobjargproc generic_ass_subscript = nullptr;

// Each slot does what the generic one does when it finds the module's own
// function: a call of the method bound to `self`, which lands in the body
// inside the recursion guard. Only no bound method and no argument tuple
// are made.

PyObject *
param_subscript(PyObject *self, PyObject *key) noexcept
{
    PyObject *args[] = {self, key};
    PARAM_COUNT_PATH(class_slot);
    return support::in_call_guard([&] { return getitem_body(args); });
}

int
param_ass_subscript(PyObject *self, PyObject *key, PyObject *value) noexcept
{
    if (value == NULL) {
        return generic_ass_subscript(self, key, NULL);
    }
    PyObject *args[] = {self, key, value};
    PARAM_COUNT_PATH(class_slot);
    PyObject *result =
        support::in_call_guard([&] { return setitem_body(args); });
    if (result == NULL) {
        return -1;
    }
    Py_DECREF(result);
    return 0;
}

int
param_init(PyObject *self, PyObject *args, PyObject *kwds) noexcept
{
    PARAM_COUNT_PATH(class_slot);
    PyObject *result =
        support::call_bound_method(method___init__, self, args, kwds);
    if (result == NULL) {
        return -1;
    }
    Py_DECREF(result);  // always None
    return 0;
}

}  // namespace

bool
stores_plainly(PyObject *target) noexcept
{
    return PyDict_CheckExact(target)
           || (Py_TYPE(target) == parameter_class
               && parameter_class->tp_as_mapping->mp_ass_subscript
                      == param_ass_subscript
               && looked_up_plainly(target));
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

int
adopt_class(PyObject *cls) noexcept
{
    PyTypeObject *type = (PyTypeObject *)cls;
    PyObject *callback = PyCFunction_New(&forget_class_def, NULL);
    if (callback == NULL) {
        return -1;
    }
    PyObject *watch = PyWeakref_NewRef(cls, callback);
    Py_DECREF(callback);
    if (watch == NULL) {
        return -1;
    }
    Py_XSETREF(class_watch, watch);
    parameter_class = type;
    generic_ass_subscript = type->tp_as_mapping->mp_ass_subscript;
    type->tp_as_mapping->mp_subscript = param_subscript;
    type->tp_as_mapping->mp_ass_subscript = param_ass_subscript;
    type->tp_init = param_init;
    return 0;
}

PARAM_METHOD(__init__, 8, init_params, init_points, init_body, no_locals,
             Returns::none);
PARAM_METHOD(__getitem__, 12, getitem_params, getitem_points, getitem_body);
PARAM_METHOD(__setitem__, 17, setitem_params, setitem_points, setitem_body);

}  // namespace fernlake

PARAM_SOURCE_END;
