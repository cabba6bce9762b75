#include "re_shortcut.hpp"

#include "names.hpp"
#include "support/interpreter.hpp"
#include "support/process_state.hpp"

namespace fernlake {

namespace {

// How much deeper than the reader the real calls go (the call itself, the
// frames of search or split and of _compile, the instance check of the
// flags), with room to spare: nearer the limit the real calls run.
constexpr int call_depth = 8;

/// A plain function of `re`, and what a caller can replace of it.
struct Function {
    PyObject *func = nullptr;
    PyObject *code = nullptr;
    PyObject *defaults = nullptr;

    /// Holds `found` when it is a plain function of the namespace `ns`.
    bool
    capture(PyObject *found, PyObject *ns) noexcept
    {
        if (found == NULL || Py_TYPE(found) != &PyFunction_Type
            || PyFunction_GET_GLOBALS(found) != ns) {
            return false;
        }
        func = found;
        code = PyFunction_GET_CODE(found);
        defaults = PyFunction_GET_DEFAULTS(found);
        Py_INCREF(func);
        Py_INCREF(code);
        Py_XINCREF(defaults);
        return true;
    }

    bool
    unchanged() const noexcept
    {
        return PyFunction_GET_CODE(func) == code
               && PyFunction_GET_DEFAULTS(func) == defaults;
    }
};

/// What was captured at import, each held for the life of the process.
struct Captured {
    bool done = false;
    PyObject *module = nullptr;
    PyObject *ns = nullptr;  // re's namespace
    Function search, split, compile;
    PyObject *flag_class = nullptr;
    PyObject *cache = nullptr;     // re's cache of compiled patterns
    PyObject *builtins = nullptr;  // the builtins of re's functions
    PyObject *isinstance = nullptr;
    PyObject *pattern_type = nullptr;
} re;

/// The version tags seen when the captured state was last checked in
/// full, and the outcome. Tags start at 1, so the first use checks.
struct Checked {
    std::uint64_t ns_tag = 0, re_tag = 0, cache_tag = 0, builtins_tag = 0;
    unsigned int meta_tag = 0;
    bool holds = false;
} checked;

std::uint64_t
tag_of(PyObject *dict) noexcept
{
    return support::dict_stamp(dict);
}

/// Borrowed: `re`'s attribute `name` as its namespace holds it, or null.
PyObject *
in_re(PyObject *name) noexcept
{
    PyObject *value = PyDict_GetItemWithError(re.ns, name);
    PyErr_Clear();
    return value;
}

/// Holds and returns `value` (borrowed).
PyObject *
hold(PyObject *value) noexcept
{
    Py_XINCREF(value);
    return value;
}

/// The version tag of the class of the flag class, where isinstance()
/// looks up the instance check of re's flags; 0 while it has none.
unsigned int
flag_meta_tag() noexcept
{
    PyTypeObject *meta = Py_TYPE(re.flag_class);
    return PyType_HasFeature(meta, Py_TPFLAGS_VALID_VERSION_TAG)
               ? meta->tp_version_tag
               : 0;
}

/// True when the instance check of re's flags is the one of `type`.
bool
plain_instance_check() noexcept
{
    // The lookup also gives the class a version tag when it has none.
    PyObject *check =
        _PyType_Lookup(Py_TYPE(re.flag_class), str___instancecheck__);
    return check != NULL
           && check == _PyType_Lookup(&PyType_Type, str___instancecheck__);
}

/// True when `pattern`, found in re's cache, is the compiled `text` with
/// the flags re gives a str pattern by default.
bool
compiled(PyObject *pattern, PyObject *text) noexcept
{
    if (pattern == NULL
        || Py_TYPE(pattern) != (PyTypeObject *)re.pattern_type) {
        return false;
    }
    PyObject *source = PyObject_GetAttr(pattern, str_pattern);
    PyObject *flags = PyObject_GetAttr(pattern, str_flags);
    bool same = source != NULL && flags != NULL
                && PyUnicode_CheckExact(source)
                && PyUnicode_Compare(source, text) == 0
                && PyLong_CheckExact(flags)
                && PyLong_AsLong(flags) == 32;  // re.UNICODE alone
    Py_XDECREF(source);
    Py_XDECREF(flags);
    PyErr_Clear();
    return same;
}

/// True when re's cache holds the compiled `text` under the key that
/// _compile looks up for it: (str, text, 0).
bool
cached(PyObject *text) noexcept
{
    PyObject *zero = PyLong_FromLong(0);
    PyObject *key = zero == NULL ? NULL
                                 : PyTuple_Pack(3, (PyObject *)&PyUnicode_Type,
                                                text, zero);
    Py_XDECREF(zero);
    if (key == NULL) {
        PyErr_Clear();
        return false;
    }
    PyObject *pattern = PyDict_GetItemWithError(re.cache, key);
    Py_DECREF(key);
    PyErr_Clear();
    return compiled(pattern, text);
}

/// Resolves `re` through `memo` as the reader does; true when that gives
/// the captured module from the namespace. Never leaves an error set.
bool
resolves_to_re(support::DictMemo &memo) noexcept
{
    PyObject *found = support::memo_lookup(memo, support::module_namespace,
                                           str_re);
    PyErr_Clear();
    return found == re.module;
}

/// Checks in full that the calls would run what was captured, and records
/// the tags it saw with the outcome.
bool
check_in_full(support::DictMemo &search_memo,
              support::DictMemo &split_memo) noexcept
{
    // Both resolutions, as a line of the general path makes them.
    bool holds = resolves_to_re(search_memo) && resolves_to_re(split_memo)
                 && in_re(str_search) == re.search.func
                 && in_re(str_split) == re.split.func
                 && in_re(str__compile) == re.compile.func
                 && in_re(str_RegexFlag) == re.flag_class
                 && in_re(str__cache) == re.cache
                 && in_re(str___builtins__) == re.builtins;
    holds = holds
            && PyDict_GetItemWithError(re.builtins, str_isinstance)
                   == re.isinstance
            && PyDict_GetItemWithError(re.builtins, str_type)
                   == (PyObject *)&PyType_Type
            && cached(str_comment_pattern) && cached(str_eq)
            && plain_instance_check();
    PyErr_Clear();
    checked.meta_tag = flag_meta_tag();
    // Without a version tag, a later change of the instance check would
    // go unseen.
    checked.holds = holds && checked.meta_tag != 0;
    checked.ns_tag = tag_of(support::module_namespace);
    checked.re_tag = tag_of(re.ns);
    checked.cache_tag = tag_of(re.cache);
    checked.builtins_tag = tag_of(re.builtins);
    return checked.holds;
}

}  // namespace

void
capture_re() noexcept
{
    PyObject *module =
        PyDict_GetItemWithError(support::module_namespace, str_re);
    PyErr_Clear();
    if (re.done || module == NULL || Py_TYPE(module) != &PyModule_Type) {
        return;
    }
    PyObject *ns = PyModule_GetDict(module);
    re.ns = ns;
    PyObject *builtins = in_re(str___builtins__);
    PyObject *cache = in_re(str__cache);
    PyObject *pattern_type = in_re(str_Pattern);
    if (!re.search.capture(in_re(str_search), ns)
        || !re.split.capture(in_re(str_split), ns)
        || !re.compile.capture(in_re(str__compile), ns)
        || builtins == NULL || !PyDict_CheckExact(builtins)
        || cache == NULL || !PyDict_CheckExact(cache)
        || pattern_type == NULL || !PyType_Check(pattern_type)
        || in_re(str_RegexFlag) == NULL) {
        re.ns = nullptr;
        return;
    }
    re.module = hold(module);
    hold(ns);
    re.flag_class = hold(in_re(str_RegexFlag));
    re.cache = hold(cache);
    re.builtins = hold(builtins);
    re.pattern_type = hold(pattern_type);
    re.isinstance = hold(PyDict_GetItemWithError(builtins, str_isinstance));
    PyErr_Clear();
    re.done = re.isinstance != NULL;
}

bool
re_shortcut_holds(support::DictMemo &search_memo,
                  support::DictMemo &split_memo) noexcept
{
    if (!re.done) {
        return false;
    }
    // What no version tag covers is checked at every use.
    if (support::observed() || !support::recursion_headroom(call_depth)
        || Py_TYPE(re.module) != &PyModule_Type || !re.search.unchanged()
        || !re.split.unchanged() || !re.compile.unchanged()) {
        return false;
    }
    if (tag_of(support::module_namespace) != checked.ns_tag
        || tag_of(re.ns) != checked.re_tag
        || tag_of(re.cache) != checked.cache_tag
        || tag_of(re.builtins) != checked.builtins_tag
        || flag_meta_tag() != checked.meta_tag) {
        return check_in_full(search_memo, split_memo);
    }
    return checked.holds;
}

}  // namespace fernlake
