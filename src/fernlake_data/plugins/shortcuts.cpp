// The shortcuts of the class and of str.strip, the captures of them all,
// and the counters of their runs in test builds.
#include "shortcuts.hpp"

#include "names.hpp"
#include "parameter_methods.hpp"
#include "support/call.hpp"
#include "support/lookup.hpp"
#include "support/method_function.hpp"

#ifdef FERNLAKE_TEST_BUILD
extern "C" {
const int fernlake_param_shortcuts_compiled = PARAM_SHORTCUTS_COMPILED;
FernlakeShortcutRuns fernlake_param_shortcut_runs = {};
#define PARAM_SHORTCUT_NAME(name) #name " "
const char *const fernlake_param_shortcut_names =
    PARAM_SHORTCUTS(PARAM_SHORTCUT_NAME);
#undef PARAM_SHORTCUT_NAME
}
#endif

namespace fernlake {

// Captures of the other files of the unit.
int capture_file_types(PyObject *open) noexcept;  // shortcuts_file.cpp
int capture_re() noexcept;                        // shortcuts_re.cpp
int capture_signal_handlers() noexcept;           // shortcuts_signals.cpp

support::FastFunction strip_function = nullptr;
Py_ssize_t item_credit = 0;

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

// Item deletion, which the class does not define, keeps the generic slot.
objobjargproc generic_ass_subscript = nullptr;

// Each slot does what the generic one does when it finds the module's own
// function: a call of the method bound to `self`, which lands in the body
// inside the recursion guard. Only no bound method and no argument tuple
// are made.

// What the last scan of an attribute dictionary found, for item reads:
// the dictionary (not held), its str_keys_stamp() then, and whether its
// keys were all exact str.
struct StrKeysSeen {
    PyObject *dict = nullptr;
    std::uint64_t stamp = 0;
    bool only_str = false;
} str_keys_seen;

/// True when every key of the exact dict `dict` is known to be an exact
/// str, so that a lookup of an exact str with a known hash compares texts
/// only and runs no code of a caller's. False when a key is not, or when
/// the dictionary changed since it was last scanned and scanning it now
/// would cost more than the reads since have paid for. Runs no code and
/// leaves no error.
bool
only_str_keys_known(PyObject *dict) noexcept
{
    std::uint64_t stamp = support::str_keys_stamp(dict);
    if (stamp == 0) {
        return false;
    }
    StrKeysSeen &seen = str_keys_seen;
    if (dict == seen.dict && stamp == seen.stamp) {
        return seen.only_str;
    }
    if (item_credit < PyDict_GET_SIZE(dict) / 8) {
        item_credit++;
        return false;
    }
    bool only_str = support::only_str_keys(dict);
    seen = {dict, stamp, only_str};
    item_credit = 0;
    return only_str;
}

/// What the general path would make of `self[key]`, when it would make it
/// with one lookup and nothing else to see: `self` is exactly a Parameter
/// looked up plainly (its slot is this one only while the class holds its
/// own __getitem__), `key` an exact str whose hash is known, the attribute
/// dictionary an exact dict whose keys are all exact str, so that neither
/// the membership test nor the lookup can run code, and the two recursion
/// guards of the general path cannot fail. 1 with the value (a new
/// reference) in `*value` for a hit; 0 for a miss, which the general path
/// answers with raise_missing_key(); -1 with no error set when the general
/// path must run.
int
read_own_item(PyObject *self, PyObject *key, PyObject **value) noexcept
{
    if (!PyUnicode_CheckExact(key)
        || PyUnstable_Unicode_GET_CACHED_HASH(key) == -1
        || !looked_up_plainly(self)
        || !support::recursion_headroom(PyThreadState_GetUnchecked(), 2)) {
        return -1;
    }
    PyObject *dict = PyObject_GenericGetDict(self, NULL);
    if (dict == NULL) {
        PyErr_Clear();  // no memory: the general path fails alike
        return -1;
    }
    int found = -1;
    if (PyDict_CheckExact(dict) && only_str_keys_known(dict)) {
        // Keys that are all exact str compare without failing.
        *value = PyDict_GetItemWithError(dict, key);
        Py_XINCREF(*value);
        found = *value != NULL;
    }
    Py_DECREF(dict);
    return found;
}

PyObject *
param_subscript(PyObject *self, PyObject *key) noexcept
{
    PARAM_SHORTCUT_RAN(class_slot);
    PyObject *value;
    int found = read_own_item(self, key, &value);
    if (found == 1) {
        PARAM_SHORTCUT_RAN(item_read);
        return value;
    }
    if (found == 0) {
        PARAM_SHORTCUT_RAN(item_read);
        // Raised inside the guard of the call, as the body raises it: the
        // error's entry may read the traceback switch, which may run code.
        return support::in_call_guard([] { return raise_missing_key(); });
    }
    PyObject *args[] = {self, key};
    return support::in_call_guard([&] { return getitem_body(args); });
}

int
param_ass_subscript(PyObject *self, PyObject *key, PyObject *value) noexcept
{
    if (value == NULL) {
        return generic_ass_subscript(self, key, NULL);
    }
    PyObject *args[] = {self, key, value};
    PARAM_SHORTCUT_RAN(class_slot);
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
    PARAM_SHORTCUT_RAN(class_slot);
    PyObject *result =
        support::call_as_bound_method(method___init__, self, args, kwds);
    if (result == NULL) {
        return -1;
    }
    Py_DECREF(result);  // always None
    return 0;
}

/// True when `found`, the class attribute read_param, is the function
/// object that module execution made for it: the only object that carries
/// its record.
bool
is_own_read_param(PyObject *found) noexcept
{
    return found != NULL && support::is_method_function(found)
           && &support::record_of(found) == &method_read_param;
}

}  // namespace

int
capture_shortcuts() noexcept
{
    if (!PARAM_SHORTCUTS_COMPILED) {
        return 0;  // nothing captured: every guard fails
    }
    PyMethodDef *strip = support::method_def_of(
        support::type_lookup(&PyUnicode_Type, str_strip));
    strip_function =
        strip != NULL && strip->ml_flags == METH_FASTCALL
            ? (support::FastFunction)(void (*)(void))strip->ml_meth
            : nullptr;
    if (capture_file_types(builtin_open) < 0
        || capture_signal_handlers() < 0) {
        return -1;
    }
    return capture_re();
}

int
adopt_class(PyObject *cls) noexcept
{
    if (!PARAM_SHORTCUTS_COMPILED) {
        return 0;  // type()'s generic slots, and no class to compare with
    }
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

int
nobody_watching(PyThreadState *t, PyObject *const *codes, int n) noexcept
{
    if (support::tracing_or_profiling(t)) {
        return 0;
    }
    int set = support::monitoring_events_set(codes, n);
    return set < 0 ? -1 : !set;
}

bool
looked_up_plainly(PyObject *self) noexcept
{
    return Py_TYPE(self) == parameter_class
           && parameter_class->tp_getattro == PyObject_GenericGetAttr;
}

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
    // with the dictionary held while its keys may run code. The attribute
    // gets a reference of its own before the dictionary is let go.
    *attr = PyDict_GetItemWithError(dict, str_read_param);
    Py_XINCREF(*attr);
    Py_DECREF(dict);
    return *attr != NULL || !PyErr_Occurred() ? 1 : -1;
}

bool
stores_plainly(PyObject *target) noexcept
{
    if (!PARAM_SHORTCUTS_COMPILED) {
        return false;
    }
    return PyDict_CheckExact(target)
           || (looked_up_plainly(target)
               && parameter_class->tp_as_mapping->mp_ass_subscript
                      == param_ass_subscript);
}

}  // namespace fernlake
