// Attribute and name lookups as the method bodies perform them: through the
// type's own attribute slots, special-method lookup on the type, and global
// names memoised on the namespace dictionary's stamp.
#ifndef FERNLAKE_SUPPORT_LOOKUP_HPP
#define FERNLAKE_SUPPORT_LOOKUP_HPP

#include <Python.h>

#include <cstdint>

namespace fernlake::support {

/// New reference: the attribute `name` of `obj`, through the attribute slot
/// of its type when it has one.
inline PyObject *
get_attr(PyObject *obj, PyObject *name) noexcept
{
    getattrofunc get = Py_TYPE(obj)->tp_getattro;
    return get ? get(obj, name) : PyObject_GetAttr(obj, name);
}

/// Sets the attribute `name` of `obj` (all borrowed), through the
/// attribute-assignment slot of its type when it has one. 0 or -1.
inline int
set_attr(PyObject *obj, PyObject *name, PyObject *value) noexcept
{
    setattrofunc set = Py_TYPE(obj)->tp_setattro;
    return set ? set(obj, name, value) : PyObject_SetAttr(obj, name, value);
}

/// New reference: the special method `name` of `obj`, looked up on its type
/// and its bases only and bound to `obj` when the attribute can bind.
/// A missing method raises AttributeError whose message is the name.
PyObject *lookup_special(PyObject *obj, PyObject *name) noexcept;

/// True when every key of the dictionary `dict` is an exact str, so that
/// looking up an exact str in it compares texts only: no code of a
/// caller's runs and nothing fails.
bool only_str_keys(PyObject *dict) noexcept;

/// What one lookup site remembers of a dictionary: its stamp at the last
/// lookup, the value found then (borrowed from the dictionary, or null),
/// and whether the dictionary then had a key that is no exact str, whose
/// comparison a lookup may run at every use, as interpreted code's lookup
/// does: such a dictionary is looked up in full each time. A stamp of 0
/// never matches: the empty memo, and a dictionary that cannot be stamped,
/// look up in full.
struct DictMemo {
    std::uint64_t tag = 0;
    PyObject *value = nullptr;
    bool other_keys = false;
};

/// Borrowed: `name` in `dict` (exactly a dictionary), served from `memo`
/// while the dictionary is unchanged. Null with no exception when absent,
/// null with an exception when the lookup failed, which is not remembered.
PyObject *memo_lookup(DictMemo &memo, PyObject *dict, PyObject *name) noexcept;

/// New reference: the global `name` as interpreted code resolves it, first
/// in the module namespace (memoised in `memo`), then among the builtins.
/// Raises NameError "name '...' is not defined" when it is in neither.
PyObject *get_global(DictMemo &memo, PyObject *name) noexcept;

}  // namespace fernlake::support

#endif
