#include "re_shortcut.hpp"

#include <cstdint>
#include <initializer_list>

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
    PyObject *kwdefaults = nullptr;

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
        kwdefaults = PyFunction_GET_KW_DEFAULTS(found);
        Py_INCREF(func);
        Py_INCREF(code);
        Py_XINCREF(defaults);
        Py_XINCREF(kwdefaults);
        return true;
    }

    void
    release() noexcept
    {
        Py_CLEAR(func);
        Py_CLEAR(code);
        Py_CLEAR(defaults);
        Py_CLEAR(kwdefaults);
    }

    /// True while the function runs the code and defaults it had. The
    /// contents of split's keyword defaults are checked with re's
    /// namespace.
    bool
    unchanged() const noexcept
    {
        return PyFunction_GET_CODE(func) == code
               && PyFunction_GET_DEFAULTS(func) == defaults
               && PyFunction_GET_KW_DEFAULTS(func) == kwdefaults;
    }
};

/// A global name that re's functions may resolve, and what it resolved to
/// when it was captured: the object in re's namespace, or else the builtin
/// of that name, or nothing. Each held.
struct Resolution {
    PyObject *name;
    PyObject *in_namespace;
    PyObject *builtin;
};

/// What was captured at import, each held until a later import captures
/// anew.
struct Captured {
    bool done = false;
    PyObject *module = nullptr;
    PyObject *ns = nullptr;  // re's namespace
    Function search, split, compile;
    PyObject *builtins = nullptr;  // the builtins of re's functions
    PyObject *flag_class = nullptr;
    PyObject *cache = nullptr;  // where _compile finds a pattern first
    PyObject *pattern_type = nullptr;
    // The compile function of re's compiler, and what it makes of "^#" and
    // "=" apart from re's cache, once a check has needed them: a cached
    // pattern equal to one of these does what its text says.
    Function compiler;
    PyObject *comment_pattern = nullptr, *eq_pattern = nullptr;
    // The keyword defaults of split as captured, to compare contents.
    PyObject *split_kwdefaults = nullptr;
    // Every global name that search, split and _compile name.
    Resolution *names = nullptr;
    Py_ssize_t name_count = 0;
} captured;

/// The dictionaries' stamps seen when the captured state was last checked
/// in full, and the outcome. A stamp is never 0, so the first use checks.
struct Checked {
    std::uint64_t re_tag = 0, cache_tag = 0, builtins_tag = 0;
    std::uint64_t kwdefaults_tag = 0;
    unsigned int meta_tag = 0;
    bool holds = false;
} checked;

std::uint64_t
tag_of(PyObject *dict) noexcept
{
    return dict == NULL ? 0 : support::dict_stamp(dict);
}

/// Borrowed: the value of `name` in `dict`, or null; never an error.
PyObject *
entry(PyObject *dict, PyObject *name) noexcept
{
    PyObject *value = PyDict_GetItemWithError(dict, name);
    PyErr_Clear();
    return value;
}

/// Borrowed: `re`'s attribute `name` as its namespace holds it, or null.
PyObject *
in_re(PyObject *name) noexcept
{
    return entry(captured.ns, name);
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
    return support::valid_type_version(Py_TYPE(captured.flag_class));
}

/// True when the instance check of re's flags is the one of `type`.
bool
plain_instance_check() noexcept
{
    // The lookup also gives the class a version tag when it has none.
    PyObject *name = str___instancecheck__;
    PyObject *check =
        support::type_lookup(Py_TYPE(captured.flag_class), name);
    return check != NULL
           && check == support::type_lookup(&PyType_Type, name);
}

/// True when each global name of re's functions resolves to what it did
/// when captured: in re's namespace first, then among the builtins.
bool
names_resolve_as_captured() noexcept
{
    for (Py_ssize_t i = 0; i < captured.name_count; i++) {
        const Resolution &r = captured.names[i];
        PyObject *found = in_re(r.name);
        if (found != r.in_namespace) {
            return false;
        }
        if (found == NULL && entry(captured.builtins, r.name) != r.builtin) {
            return false;
        }
    }
    return true;
}

/// True when `flags` compares and hashes as an int does: an int, or an
/// instance of a subclass that keeps int's comparison and hash (re's own
/// default for split's flags is one from 3.13).
bool
int_alike(PyObject *flags) noexcept
{
    PyTypeObject *type = Py_TYPE(flags);
    return PyLong_Check(flags)
           && type->tp_richcompare == PyLong_Type.tp_richcompare
           && type->tp_hash == PyLong_Type.tp_hash;
}

/// True when no lookup in re's cache can run code of a caller's: every key
/// is a (type, text, int) triple of the kind _compile makes.
bool
cache_keys_plain() noexcept
{
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(captured.cache, &pos, &key, &value)) {
        if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 3) {
            return false;
        }
        PyObject *type = PyTuple_GET_ITEM(key, 0);
        PyObject *text = PyTuple_GET_ITEM(key, 1);
        if (Py_TYPE(type) != &PyType_Type
            || !(PyUnicode_CheckExact(text) || PyBytes_CheckExact(text))
            || !int_alike(PyTuple_GET_ITEM(key, 2))) {
            return false;
        }
    }
    return true;
}

/// True when re's cache holds, under the key that _compile looks up for
/// `text`, a compiled pattern equal to `reference`: the same text, flags
/// and compiled code.
bool
cached(PyObject *text, PyObject *reference) noexcept
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
    PyObject *pattern = entry(captured.cache, key);
    Py_DECREF(key);
    // Both exact patterns: the comparison is the pattern type's own.
    bool same = pattern != NULL
                && Py_TYPE(pattern) == (PyTypeObject *)captured.pattern_type
                && PyObject_RichCompareBool(pattern, reference, Py_EQ) == 1;
    PyErr_Clear();
    return same;
}

/// True when split's keyword defaults hold what they held when captured.
bool
split_kwdefaults_unchanged() noexcept
{
    PyObject *now = captured.split.kwdefaults;
    PyObject *then = captured.split_kwdefaults;
    if (now == NULL) {
        return true;
    }
    if (PyDict_Size(now) != PyDict_Size(then)) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(then, &pos, &key, &value)) {
        if (entry(now, key) != value) {
            return false;
        }
    }
    return true;
}

/// New reference: `text` compiled by re's compiler as _compile compiles
/// it, or null with no error set.
PyObject *
compile_apart(PyObject *text) noexcept
{
    if (!captured.compiler.unchanged()) {
        return NULL;
    }
    PyObject *pattern =
        PyObject_CallFunction(captured.compiler.func, "Oi", text, 0);
    if (pattern == NULL) {
        PyErr_Clear();  // tried again at the next full check
    }
    else if (Py_TYPE(pattern) != (PyTypeObject *)captured.pattern_type) {
        Py_CLEAR(pattern);
    }
    return pattern;
}

/// True once the reference patterns exist. They are compiled at the first
/// check that needs them rather than at import, which would otherwise run
/// re's compiler in every process that imports the module.
bool
references_made() noexcept
{
    if (captured.comment_pattern == NULL) {
        captured.comment_pattern = compile_apart(str_comment_pattern);
    }
    if (captured.eq_pattern == NULL) {
        captured.eq_pattern = compile_apart(str_eq);
    }
    return captured.comment_pattern != NULL && captured.eq_pattern != NULL;
}

/// Checks in full that the calls would run what was captured, and records
/// the outcome with the tags seen before the checks began: a change made
/// while they ran (by code that the compiler or a key's comparison runs)
/// is then seen at the next use.
bool
check_in_full() noexcept
{
    bool made = references_made();
    Checked seen;
    seen.meta_tag = flag_meta_tag();
    seen.re_tag = tag_of(captured.ns);
    seen.cache_tag = tag_of(captured.cache);
    seen.builtins_tag = tag_of(captured.builtins);
    seen.kwdefaults_tag = tag_of(captured.split.kwdefaults);
    bool holds = made && in_re(str_search) == captured.search.func
                 && in_re(str_split) == captured.split.func
                 && in_re(str___builtins__) == captured.builtins
                 && names_resolve_as_captured() && cache_keys_plain()
                 && cached(str_comment_pattern, captured.comment_pattern)
                 && cached(str_eq, captured.eq_pattern)
                 && split_kwdefaults_unchanged() && plain_instance_check();
    PyErr_Clear();
    // Without a version tag, a later change of the instance check would
    // go unseen.
    seen.holds = holds && seen.meta_tag != 0;
    checked = seen;
    return checked.holds;
}

/// Adds to `names` (a set) the global names that `f`'s code names.
bool
add_names(PyObject *names, const Function &f) noexcept
{
    PyObject *co_names = support::code_names(f.code);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(co_names); i++) {
        if (PySet_Add(names, PyTuple_GET_ITEM(co_names, i)) < 0) {
            return false;
        }
    }
    return true;
}

/// Records where each global name of search, split and _compile resolves.
/// 0, or -1 with an exception set.
int
capture_names() noexcept
{
    PyObject *set = PySet_New(NULL);
    PyObject *names = NULL;
    if (set != NULL && add_names(set, captured.search)
        && add_names(set, captured.split)
        && add_names(set, captured.compile)) {
        names = PySequence_Tuple(set);
    }
    Py_XDECREF(set);
    if (names == NULL) {
        return -1;
    }
    Py_ssize_t count = PyTuple_GET_SIZE(names);
    auto *table =
        (Resolution *)PyMem_Calloc((size_t)count + 1, sizeof(Resolution));
    if (table == NULL) {
        Py_DECREF(names);
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *name = PyTuple_GET_ITEM(names, i);
        PyObject *found = in_re(name);
        table[i] = Resolution{
            hold(name), hold(found),
            found == NULL ? hold(entry(captured.builtins, name)) : nullptr};
    }
    Py_DECREF(names);
    captured.names = table;
    captured.name_count = count;
    return 0;
}

/// Captures the compile function of re's compiler. 0, or -1 with an
/// exception set.
int
capture_compiler() noexcept
{
    PyObject *compiler = PyImport_ImportModule(FERNLAKE_RE_COMPILER);
    if (compiler == NULL) {
        return -1;
    }
    PyObject *compile = PyObject_GetAttrString(compiler, "compile");
    if (compile != NULL) {
        captured.compiler.capture(compile, PyModule_GetDict(compiler));
    }
    Py_DECREF(compiler);
    Py_XDECREF(compile);
    return compile == NULL ? -1 : 0;
}

/// A copy of split's keyword defaults, to compare their contents with.
/// 0, or -1 with an exception set.
int
capture_split_kwdefaults() noexcept
{
    PyObject *kwdefaults = captured.split.kwdefaults;
    if (kwdefaults == NULL || !PyDict_CheckExact(kwdefaults)) {
        return 0;
    }
    captured.split_kwdefaults = PyDict_Copy(kwdefaults);
    return captured.split_kwdefaults == NULL ? -1 : 0;
}

/// Releases all that was captured; the shortcut is off until a capture.
void
release_captured() noexcept
{
    Captured &c = captured;
    c.done = false;
    for (Py_ssize_t i = 0; i < c.name_count; i++) {
        Py_XDECREF(c.names[i].name);
        Py_XDECREF(c.names[i].in_namespace);
        Py_XDECREF(c.names[i].builtin);
    }
    PyMem_Free(c.names);
    c.names = nullptr;
    c.name_count = 0;
    c.search.release();
    c.split.release();
    c.compile.release();
    c.compiler.release();
    for (PyObject **held :
         {&c.module, &c.ns, &c.builtins, &c.flag_class, &c.cache,
          &c.pattern_type, &c.comment_pattern, &c.eq_pattern,
          &c.split_kwdefaults}) {
        Py_CLEAR(*held);
    }
    checked = Checked{};
}

/// True when what was captured of `re` is what the shortcut needs.
bool
standard_re() noexcept
{
    return captured.search.capture(in_re(str_search), captured.ns)
           && captured.split.capture(in_re(str_split), captured.ns)
           && captured.compile.capture(in_re(str__compile), captured.ns)
           && captured.builtins != NULL
           && PyDict_CheckExact(captured.builtins) && captured.cache != NULL
           && PyDict_CheckExact(captured.cache)
           && captured.pattern_type != NULL
           && PyType_Check(captured.pattern_type)
           && captured.flag_class != NULL
           && (captured.split.kwdefaults == NULL
               || PyDict_CheckExact(captured.split.kwdefaults));
}

}  // namespace

int
capture_re() noexcept
{
    PyObject *module =
        PyDict_GetItemWithError(support::module_namespace, str_re);
    release_captured();
    if (module == NULL || Py_TYPE(module) != &PyModule_Type) {
        return PyErr_Occurred() ? -1 : 0;
    }
    // What is captured stays held, used or not: the shortcut is on only
    // once everything is.
    captured.module = hold(module);
    captured.ns = hold(PyModule_GetDict(module));
    captured.builtins = hold(in_re(str___builtins__));
    captured.flag_class = hold(in_re(str_RegexFlag));
    captured.cache = hold(in_re(str_re_cache));
    captured.pattern_type = hold(in_re(str_Pattern));
    if (!standard_re()) {
        return 0;
    }
    if (capture_names() < 0 || capture_compiler() < 0
        || capture_split_kwdefaults() < 0) {
        return -1;
    }
    captured.done = captured.compiler.func != NULL;
    return 0;
}

bool
re_shortcut_holds(PyObject *re) noexcept
{
    if (!captured.done || re != captured.module) {
        return false;
    }
    // What no version tag covers is checked at every use: among it an
    // asynchronous exception sent to this thread, which the calls would
    // raise as their first instruction runs.
    if (support::observed() || !support::recursion_headroom(call_depth)
        || support::async_exception_pending()
        || Py_TYPE(re) != &PyModule_Type || !captured.search.unchanged()
        || !captured.split.unchanged() || !captured.compile.unchanged()) {
        return false;
    }
    if (tag_of(captured.ns) != checked.re_tag
        || tag_of(captured.cache) != checked.cache_tag
        || tag_of(captured.builtins) != checked.builtins_tag
        || tag_of(captured.split.kwdefaults) != checked.kwdefaults_tag
        || flag_meta_tag() != checked.meta_tag) {
        return check_in_full();
    }
    return checked.holds;
}

}  // namespace fernlake
