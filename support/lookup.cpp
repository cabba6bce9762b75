#include "lookup.hpp"

#include "interpreter.hpp"
#include "process_state.hpp"

namespace fernlake::support {

PyObject *
lookup_special(PyObject *obj, PyObject *name) noexcept
{
    PyTypeObject *type = Py_TYPE(obj);
    PyObject *found = type_lookup(type, name);  // borrowed
    if (found == NULL) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return NULL;
    }
    descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
    if (bind == NULL) {
        Py_INCREF(found);
        return found;
    }
    return bind(found, obj, (PyObject *)type);
}

bool
only_str_keys(PyObject *dict) noexcept
{
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

PyObject *
memo_lookup(DictMemo &memo, PyObject *dict, PyObject *name) noexcept
{
    std::uint64_t tag = dict_stamp(dict);
    if (tag != 0 && tag == memo.tag && !memo.other_keys) {
        return memo.value;
    }
    // Read before the lookup, which may change the dictionary: the stamp
    // taken above then no longer matches.
    bool other_keys = tag != 0 && (tag == memo.tag ? memo.other_keys
                                                   : !only_str_keys(dict));
    // Names come from the name table, which hashed each of them once: the
    // lookup takes the hash the name keeps.
    assert(PyUnstable_Unicode_GET_CACHED_HASH(name) != -1);
    PyObject *value = PyDict_GetItemWithError(dict, name);
    if (value == NULL && PyErr_Occurred()) {
        // A lookup that raised (a colliding key's __eq__) is an error of
        // this lookup, not an absence: nothing is remembered.
        return NULL;
    }
    memo.value = value;
    memo.tag = tag;
    memo.other_keys = other_keys;
    return value;
}

PyObject *
get_global(DictMemo &memo, PyObject *name) noexcept
{
    PyObject *value = memo_lookup(memo, module_namespace, name);
    if (value != NULL) {
        Py_INCREF(value);
        return value;
    }
    if (PyErr_Occurred()) {
        return NULL;
    }
    value = get_attr(builtins_module, name);
    if (value == NULL) {
        // The NameError replaces the builtins' AttributeError.
        PyErr_Clear();
        raise_name_error(name);
    }
    return value;
}

}  // namespace fernlake::support
