// The shortcut of the reader's two uses of `re`: its guard, and what it
// captures at import.
#include "shortcuts.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "names.hpp"
#include "support/process_state.hpp"

namespace fernlake {

namespace {

// ------------------------------------------------ what re is made of

// How much deeper than the reader the real calls go (the call itself, the
// frames of search or split and of _compile, the instance check of the
// flags), with room to spare: nearer the limit the real calls run.
constexpr int call_depth = 8;

// The cache in which re's _compile looks a pattern up first: from 3.12 a
// second cache stands in front of _cache, and a hit there changes neither.
#if PY_VERSION_HEX >= 0x030C0000
constexpr char first_cache[] = "_cache2";
#else
constexpr char first_cache[] = "_cache";
#endif

// The compiled form of "^#" and "=" (what re's compiler makes of them), in
// the operation codes of _sre: INFO and LITERAL are one lower from 3.11.
#if PY_VERSION_HEX >= 0x030B0000
constexpr long sre_info = 14, sre_literal = 16;
#else
constexpr long sre_info = 15, sre_literal = 17;
#endif
constexpr long sre_at = 6, sre_at_beginning = 0, sre_success = 1;
const long comment_code[] = {sre_info, 4,         0,           1,  1,
                             sre_at,   sre_at_beginning, sre_literal, '#',
                             sre_success};
const long eq_code[] = {sre_info, 8, 3,           1,   1,          1,
                        1,        '=', 0, sre_literal, '=', sre_success};
// The flags re gives a pattern of text (re.UNICODE).
constexpr long unicode_flag = 32;

/// The digests of re's search, split and _compile as each supported
/// version's standard library has them (scripts/re-digests prints them):
/// a function whose digest is not here for the running version is not
/// re's standard one, and the shortcut stays off while it is in place.
struct KnownDigest {
    int version;  // 0x030C for 3.12
    const char *name;
    std::uint64_t digest;
};
const KnownDigest known_digests[] = {
    {0x0309, "search", 0x3e27b857c435b5bbull},
    {0x0309, "split", 0xf2c110b91bd8c276ull},
    {0x0309, "_compile", 0xabd83533634e9ea1ull},
    {0x030A, "search", 0x3e27b857c435b5bbull},
    {0x030A, "split", 0xf2c110b91bd8c276ull},
    {0x030A, "_compile", 0xa355e4d358b1dd47ull},
    {0x030A, "search", 0x967a17868fcca5fcull},  // -OO
    {0x030A, "split", 0x90e82e79f3389636ull},   // -OO
    {0x030B, "search", 0x6c3f55d4900ed153ull},
    {0x030B, "split", 0x8cc64d50466ef66dull},
    {0x030B, "_compile", 0x3b4c147ced9411bfull},
    {0x030B, "search", 0xf8ba19e77bdbc70eull},  // -OO
    {0x030B, "split", 0x82b8513b13c35f50ull},   // -OO
    {0x030C, "search", 0x93c9aa1c8062f43aull},
    {0x030C, "split", 0xb40c4c97be175883ull},
    {0x030C, "_compile", 0x8d12ede0dff082e2ull},
    {0x030C, "search", 0x3cda56af1dbd5bffull},  // -OO
    {0x030C, "split", 0x00fb7ed475c518a7ull},   // -OO
    {0x030D, "search", 0x143ad948b5668e81ull},
    {0x030D, "split", 0xcefbf540e4efc6bcull},
    {0x030D, "_compile", 0x62d691cd0e05a5c3ull},
    {0x030D, "split", 0xce8a4a36d25005f1ull},  // -OO
    {0x030E, "search", 0xafd6ba07430e5348ull},
    {0x030E, "split", 0x7a41ad6d31545e14ull},
    {0x030E, "_compile", 0xa65dceafec13a0ecull},
    {0x030E, "search", 0xff3077e66a165936ull},  // -OO
    {0x030E, "split", 0x97829d4ea98a7c72ull},   // -OO
    {0x030F, "search", 0x63670ee7ce03588eull},
    {0x030F, "split", 0x7120c99955a6ee97ull},
    {0x030F, "_compile", 0xda5dd3925af046f7ull},
    {0x030F, "search", 0x0c2dc5770f254da4ull},  // -OO
    {0x030F, "split", 0x75bab1f49a23765eull},   // -OO
};

/// FNV-1a over the serialised parts of a code object, as
/// scripts/re-digests computes it.
class Digest {
  public:
    void
    bytes(const void *data, std::size_t n) noexcept
    {
        const unsigned char *p = (const unsigned char *)data;
        for (std::size_t i = 0; i < n; i++) {
            h_ = (h_ ^ p[i]) * 0x100000001b3ull;
        }
    }
    void
    text(const char *s) noexcept
    {
        bytes(s, std::strlen(s));
    }
    void
    number(long long n) noexcept
    {
        char buf[32];
        PyOS_snprintf(buf, sizeof(buf), "%lld", n);
        text(buf);
    }
    /// A tagged, counted run of bytes: tag, length, ':', the bytes.
    void
    counted(char tag, const char *data, Py_ssize_t n) noexcept
    {
        bytes(&tag, 1);
        number(n);
        text(":");
        bytes(data, (std::size_t)n);
    }
    /// False when `s` cannot be encoded, with an exception set.
    bool
    str(PyObject *s) noexcept
    {
        Py_ssize_t n;
        const char *utf8 = PyUnicode_AsUTF8AndSize(s, &n);
        if (utf8 == NULL) {
            return false;
        }
        counted('s', utf8, n);
        return true;
    }
    std::uint64_t
    value() const noexcept
    {
        return h_;
    }

  private:
    std::uint64_t h_ = 0xcbf29ce484222325ull;
};

/// Adds the constant `x`; false (no error) for a kind of constant that no
/// standard function of re holds, or with an exception when encoding
/// failed.
bool
add_constant(Digest &d, PyObject *x) noexcept
{
    if (x == Py_None || x == Py_True || x == Py_False) {
        d.text(x == Py_None ? "n" : x == Py_True ? "t" : "f");
        return true;
    }
    if (PyLong_CheckExact(x)) {
        int overflow;
        long long n = PyLong_AsLongLongAndOverflow(x, &overflow);
        if (overflow != 0 || (n == -1 && PyErr_Occurred())) {
            return false;
        }
        d.text("i");
        d.number(n);
        d.text(";");
        return true;
    }
    if (PyUnicode_CheckExact(x)) {
        return d.str(x);
    }
    if (PyBytes_CheckExact(x)) {
        d.counted('b', PyBytes_AS_STRING(x), PyBytes_GET_SIZE(x));
        return true;
    }
    if (PyTuple_CheckExact(x)) {
        d.text("(");
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(x); i++) {
            if (!add_constant(d, PyTuple_GET_ITEM(x, i))) {
                return false;
            }
        }
        d.text(")");
        return true;
    }
    return false;
}

/// Adds each name of the tuple `names`.
bool
add_names(Digest &d, char tag, PyObject *names) noexcept
{
    d.bytes(&tag, 1);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); i++) {
        if (!d.str(PyTuple_GET_ITEM(names, i))) {
            return false;
        }
    }
    return true;
}

/// 1 when the code object `code` is that of re's standard function `name`
/// on this version, 0 when not, -1 with an exception set.
int
is_standard_code(PyObject *code, const char *name) noexcept
{
    support::CodeParts parts = support::code_parts(code);
    PyObject *consts = parts.consts;
    Py_ssize_t first = 0;
    int flags = parts.flags;
    // The docstring (or the None that stands for it) goes: -OO drops it.
#if PY_VERSION_HEX >= 0x030E0000
    if (flags & CO_HAS_DOCSTRING) {
        first = 1;
    }
    flags &= ~CO_HAS_DOCSTRING;
#else
    if (PyTuple_GET_SIZE(consts) > 0
        && (PyTuple_GET_ITEM(consts, 0) == Py_None
            || PyUnicode_CheckExact(PyTuple_GET_ITEM(consts, 0)))) {
        first = 1;
    }
#endif
    PyObject *instructions = support::code_instructions(code);
    if (instructions == NULL) {
        return -1;
    }
    Digest d;
    d.text("A");
    d.number(parts.argcount);
    d.text(",");
    d.number(parts.kwonlyargcount);
    d.text(",");
    d.number(flags);
    d.text(";");
    d.counted('I', PyBytes_AS_STRING(instructions),
              PyBytes_GET_SIZE(instructions));
    Py_DECREF(instructions);
    d.text("C");
    for (Py_ssize_t i = first; i < PyTuple_GET_SIZE(consts); i++) {
        if (!add_constant(d, PyTuple_GET_ITEM(consts, i))) {
            return PyErr_Occurred() ? -1 : 0;
        }
    }
    if (!add_names(d, 'N', parts.names)
        || !add_names(d, 'V', parts.varnames)) {
        return -1;
    }
    if (parts.exception_table != NULL) {
        d.counted('E', PyBytes_AS_STRING(parts.exception_table),
                  PyBytes_GET_SIZE(parts.exception_table));
    }
    const int version = PY_MAJOR_VERSION << 8 | PY_MINOR_VERSION;
    for (const KnownDigest &k : known_digests) {
        if (k.version == version && std::strcmp(k.name, name) == 0
            && k.digest == d.value()) {
            return 1;
        }
    }
    return 0;
}

// ------------------------------------------------- the captured state

/// A function of re as a full check found it standard, and what a caller
/// can replace of it without changing a dictionary.
struct Function {
    PyObject *func = nullptr;  // held, as the following
    PyObject *code = nullptr;
    PyObject *defaults = nullptr;
    PyObject *kwdefaults = nullptr;

    void
    hold(PyObject *f) noexcept
    {
        release();
        func = f;
        code = PyFunction_GET_CODE(f);
        defaults = PyFunction_GET_DEFAULTS(f);
        kwdefaults = PyFunction_GET_KW_DEFAULTS(f);
        Py_INCREF(func);
        Py_INCREF(code);
        Py_XINCREF(defaults);
        Py_XINCREF(kwdefaults);
    }

    void
    release() noexcept
    {
        Py_CLEAR(func);
        Py_CLEAR(code);
        Py_CLEAR(defaults);
        Py_CLEAR(kwdefaults);
    }

    /// True while the function held (if any) runs the code and defaults
    /// it had.
    bool
    unchanged() const noexcept
    {
        return func == NULL
               || (PyFunction_GET_CODE(func) == code
                   && PyFunction_GET_DEFAULTS(func) == defaults
                   && PyFunction_GET_KW_DEFAULTS(func) == kwdefaults);
    }
};

/// What module execution captured; lives until a later execution.
struct Captured {
    bool done = false;
    PyObject *module = nullptr;  // re, held
    PyObject *ns = nullptr;      // its namespace, held
    PyObject *cache_name = nullptr;
    // What re's compiler makes of "^#" and "=", and their type.
    PyObject *comment_pattern = nullptr, *eq_pattern = nullptr;
    PyTypeObject *pattern_type = nullptr;
    // The keys _compile looks the two patterns up under, and their hashes.
    PyObject *comment_key = nullptr, *eq_key = nullptr;
    Py_hash_t comment_hash = -1, eq_hash = -1;
    // The code objects last found standard, held: a full check digests a
    // function's code only when it is another.
    PyObject *standard_codes[3] = {};
} captured;

// The most keys of re's cache that may share a hash with the two keys
// looked up; more, and the shortcut stays off.
constexpr int max_colliding = 4;
// The most objects whose class can change among the defaults of search
// and split.
constexpr int max_classed = 4;

/// An object whose class a caller can change (by assigning `__class__`,
/// or by changing the class) where no stamp sees it, and what it was.
struct Classed {
    PyObject *obj;  // borrowed: held by what holds it
    PyTypeObject *type;
    unsigned int version;
};

/// A dictionary that the last full check read, and its stamp then.
struct Stamped {
    PyObject *dict = nullptr;  // borrowed: held by what holds it
    std::uint64_t stamp = 0;

    /// Takes the stamp of `d` before its contents are read; false when it
    /// cannot be stamped.
    bool
    take(PyObject *d) noexcept
    {
        dict = d;
        stamp = support::dict_stamp(d);
        return stamp != 0;
    }
    /// True while the dictionary, if one was read, is unchanged.
    bool
    unchanged() const noexcept
    {
        return dict == NULL || support::dict_stamp(dict) == stamp;
    }
};

/// What the last full check found, and its outcome: the dictionaries it
/// read, the functions and objects whose changes no stamp shows, and
/// whether the shortcut holds. Until a full check ran, nothing is read and
/// `checked_once` is false.
struct Checked {
    bool checked_once = false;
    // A dictionary that cannot be stamped leaves the shortcut off for good:
    // every use would otherwise check in full.
    bool unstampable = false;
    Stamped ns, builtins, cache, split_kwdefaults;
    Function search, split, compile;
    // re.RegexFlag (borrowed: held by re's namespace) and its class, whose
    // instance check _compile runs.
    PyObject *flag_class = nullptr;
    PyTypeObject *flag_meta = nullptr;
    unsigned int flag_meta_version = 0;
    PyObject *colliding[max_colliding] = {};  // held
    int colliding_count = 0;
    Classed classed[max_classed] = {};
    int classed_count = 0;
    bool holds = false;

    void
    release() noexcept
    {
        search.release();
        split.release();
        compile.release();
        for (int i = 0; i < colliding_count; i++) {
            Py_CLEAR(colliding[i]);
        }
        colliding_count = 0;
        classed_count = 0;
        ns = builtins = cache = split_kwdefaults = Stamped{};
        flag_class = nullptr;
        flag_meta = nullptr;
        holds = false;
    }
} checked;

/// The monitoring state as last asked: the outcome and what shows that it
/// may have changed since.
struct MonitoringSeen {
    bool asked = false;  // false: ask at the next use
    bool events_set = true;
    std::uintptr_t attention = 0;
    std::uintptr_t code_data = 0;
    int uses = 0;  // since it was asked
} monitoring_seen;

// Where the interpreter's state of monitoring cannot be watched cheaply,
// it is asked again after this many uses.
constexpr int uses_between_asks = 64;

// ------------------------------------------------------ the checks

/// True when `obj` compares and hashes as an int does: an int, or an
/// instance of a subclass that keeps int's comparison and hash (re's own
/// default for split's flags is one from 3.13).
bool
int_alike(PyObject *obj) noexcept
{
    PyTypeObject *type = Py_TYPE(obj);
    return PyLong_Check(obj)
           && type->tp_richcompare == PyLong_Type.tp_richcompare
           && type->tp_hash == PyLong_Type.tp_hash;
}

/// True when comparing the key `key` of re's cache with the key _compile
/// looks up runs no code of a caller's: a (class, text, int) triple of the
/// kind _compile makes, whose class has the plain metatype.
bool
plain_cache_key(PyObject *key) noexcept
{
    if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 3) {
        return false;
    }
    PyObject *type = PyTuple_GET_ITEM(key, 0);
    PyObject *text = PyTuple_GET_ITEM(key, 1);
    return Py_TYPE(type) == &PyType_Type
           && (PyUnicode_CheckExact(text) || PyBytes_CheckExact(text))
           && int_alike(PyTuple_GET_ITEM(key, 2));
}

/// True when every key of the dictionary `dict` is an exact str, so that
/// looking a name up in it runs no code and cannot fail.
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

/// Borrowed: the value of the name `name` (an interned str) in `dict`,
/// whose keys are all exact str: no code runs and nothing fails.
PyObject *
lookup(PyObject *dict, PyObject *name) noexcept
{
    return support::dict_get_known_hash(dict, name,
                                        support::text_hash(name));
}

/// Borrowed: what the global name `name` resolves to in re's functions:
/// re's namespace first, then their builtins.
PyObject *
resolve(PyObject *name) noexcept
{
    PyObject *found = lookup(captured.ns, name);
    return found != NULL ? found : lookup(checked.builtins.dict, name);
}

/// True when `f` is the built-in function `name` of the builtins module.
bool
is_builtin(PyObject *f, const char *name) noexcept
{
    return f != NULL && PyCFunction_CheckExact(f)
           && PyCFunction_GET_SELF(f) == support::builtins_module
           && std::strcmp(((PyCFunctionObject *)f)->m_ml->ml_name, name)
                  == 0;
}

/// 1 when `found` is re's standard function `name`, with globals re's
/// namespace; 0 when not; -1 with an exception set. A function is held in
/// `f` either way, so that a later change of its code or defaults, which
/// no stamp shows, is seen.
int
take_function(Function &f, PyObject *found, const char *name,
              PyObject *&standard_code) noexcept
{
    if (found == NULL || Py_TYPE(found) != &PyFunction_Type) {
        return 0;
    }
    f.hold(found);
    if (PyFunction_GET_GLOBALS(found) != captured.ns) {
        return 0;
    }
    if (f.code == standard_code) {
        return 1;
    }
    int standard = is_standard_code(f.code, name);
    if (standard == 1) {
        Py_INCREF(f.code);
        Py_XSETREF(standard_code, f.code);
    }
    return standard;
}

/// True when `value`, a default of search or split, is the int 0 and
/// compares as an int; records it when its class can change where no
/// stamp sees it (the class, or the object's class, reassigned).
bool
zero_default(PyObject *value) noexcept
{
    if (value == NULL || !int_alike(value) || PyLong_AsLong(value) != 0) {
        return false;
    }
    PyTypeObject *type = Py_TYPE(value);
    if (type == &PyLong_Type) {
        return true;  // int's class cannot change
    }
    // The lookup gives the class a version tag when it has none.
    support::type_lookup(type, str___instancecheck__);
    unsigned int version = support::valid_type_version(type);
    if (version == 0 || checked.classed_count == max_classed) {
        return false;
    }
    checked.classed[checked.classed_count++] = {value, type, version};
    return true;
}

/// True when the defaults of search and split are re's: flags 0 for both,
/// and maxsplit 0 for split; keyword-only from 3.13.
bool
standard_defaults() noexcept
{
    PyObject *search = checked.search.defaults;
    PyObject *split = checked.split.defaults;
    if (search == NULL || PyTuple_GET_SIZE(search) != 1
        || !zero_default(PyTuple_GET_ITEM(search, 0))
        || checked.search.kwdefaults != NULL) {
        return false;
    }
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *kw = checked.split.kwdefaults;
    return split == NULL && kw != NULL && PyDict_CheckExact(kw)
           && checked.split_kwdefaults.take(kw) && only_str_keys(kw)
           && zero_default(lookup(kw, str_maxsplit))
           && zero_default(lookup(kw, str_flags));
#else
    return split != NULL && PyTuple_GET_SIZE(split) == 2
           && zero_default(PyTuple_GET_ITEM(split, 0))
           && zero_default(PyTuple_GET_ITEM(split, 1))
           && checked.split.kwdefaults == NULL;
#endif
}

/// True when the instance check that _compile makes of its flags
/// (isinstance(flags, RegexFlag)) is type's own and false for each of the
/// flags that search and split pass; records the class of RegexFlag.
bool
flags_are_no_regex_flags(PyObject *flag_class) noexcept
{
    if (flag_class == NULL || !PyType_Check(flag_class)) {
        return false;
    }
    PyTypeObject *meta = Py_TYPE(flag_class);
    PyObject *name = str___instancecheck__;
    // The lookup also gives the class a version tag when it has none.
    PyObject *check = support::type_lookup(meta, name);
    if (check == NULL || check != support::type_lookup(&PyType_Type, name)) {
        return false;
    }
    checked.flag_class = flag_class;
    checked.flag_meta = meta;
    checked.flag_meta_version = support::valid_type_version(meta);
    if (checked.flag_meta_version == 0
        || PyType_IsSubtype(&PyLong_Type, (PyTypeObject *)flag_class)) {
        return false;
    }
    for (int i = 0; i < checked.classed_count; i++) {
        if (PyType_IsSubtype(checked.classed[i].type,
                             (PyTypeObject *)flag_class)) {
            return false;
        }
    }
    return true;
}

/// 1 when re's first cache holds under `key` a pattern equal to
/// `reference` (same text, flags and compiled code) with no groups, 0
/// when not, -1 with an exception set.
int
cache_holds(PyObject *key, PyObject *reference) noexcept
{
    PyObject *pattern = PyDict_GetItemWithError(checked.cache.dict, key);
    if (pattern == NULL) {
        return PyErr_Occurred() ? -1 : 0;
    }
    if (Py_TYPE(pattern) != captured.pattern_type) {
        return 0;
    }
    // Equality leaves out the number of groups, which changes what split
    // returns.
    int same = PyObject_RichCompareBool(pattern, reference, Py_EQ);
    if (same != 1) {
        return same;
    }
    PyObject *groups = PyObject_GetAttrString(pattern, "groups");
    if (groups == NULL) {
        return -1;
    }
    long n = PyLong_AsLong(groups);
    Py_DECREF(groups);
    if (n == -1 && PyErr_Occurred()) {
        return -1;
    }
    return n == 0;
}

/// 1 when re's first cache can serve the two lookups without running code
/// of a caller's and holds the two patterns; records the keys that share
/// a hash with those looked up. 0 when not, -1 with an exception set.
int
check_cache() noexcept
{
    PyObject *cache = lookup(captured.ns, captured.cache_name);
    if (cache == NULL || !PyDict_CheckExact(cache)
        || !checked.cache.take(cache)) {
        return 0;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(cache, &pos, &key, &value)) {
        if (!plain_cache_key(key)) {
            return 0;
        }
        // The hash of such a key runs no code either.
        Py_hash_t hash = PyObject_Hash(key);
        if (hash == -1) {
            return -1;
        }
        if (hash == captured.comment_hash || hash == captured.eq_hash) {
            if (checked.colliding_count == max_colliding) {
                return 0;
            }
            Py_INCREF(key);
            checked.colliding[checked.colliding_count++] = key;
        }
    }
    int held = cache_holds(captured.comment_key, captured.comment_pattern);
    if (held == 1) {
        held = cache_holds(captured.eq_key, captured.eq_pattern);
    }
    return held;
}

/// 1 when everything that the calls reach through re's dictionaries is
/// re's standard state (see re_shortcut_holds()); 0 when not; -1 with an
/// exception set. Each dictionary's stamp is taken before its contents
/// are read, so that a change made meanwhile is seen at the next use; the
/// checks run no code of a caller's.
int
check_dictionaries() noexcept
{
    if (!checked.ns.take(captured.ns) || !only_str_keys(captured.ns)) {
        return 0;
    }
    PyObject **standard = captured.standard_codes;
    int taken = take_function(checked.search, lookup(captured.ns, str_search),
                              "search", standard[0]);
    if (taken == 1) {
        taken = take_function(checked.split, lookup(captured.ns, str_split),
                              "split", standard[1]);
    }
    if (taken == 1) {
        taken = take_function(checked.compile,
                              lookup(captured.ns, str__compile), "_compile",
                              standard[2]);
    }
    if (taken != 1) {
        return taken;
    }
    // The three run with the same builtins.
    PyObject *builtins = support::function_builtins(checked.search.func);
    if (builtins == NULL
        || builtins != support::function_builtins(checked.split.func)
        || builtins != support::function_builtins(checked.compile.func)
        || !PyDict_CheckExact(builtins)) {
        return PyErr_Occurred() ? -1 : 0;
    }
    if (!checked.builtins.take(builtins) || !only_str_keys(builtins)
        || !is_builtin(resolve(str_isinstance), "isinstance")
        || resolve(str_type) != (PyObject *)&PyType_Type
        || !standard_defaults()
        || !flags_are_no_regex_flags(lookup(captured.ns, str_RegexFlag))) {
        return 0;
    }
    return check_cache();
}

/// Checks in full and records what was found (see Checked).
int
check_in_full() noexcept
{
    checked.release();
    checked.checked_once = true;
    int holds = check_dictionaries();
    if (holds < 0) {
        checked.checked_once = false;  // tried again at the next use
        return -1;
    }
    for (const Stamped *s : {&checked.ns, &checked.builtins, &checked.cache,
                             &checked.split_kwdefaults}) {
        if (s->dict != NULL && s->stamp == 0) {
            checked.unstampable = true;
        }
    }
    checked.holds = holds == 1 && !checked.unstampable;
    return checked.holds;
}

/// True while the dictionaries that the last full check read are as it
/// found them.
bool
dictionaries_unchanged() noexcept
{
    const Checked &c = checked;
    return c.checked_once && c.ns.unchanged() && c.builtins.unchanged()
           && c.cache.unchanged() && c.split_kwdefaults.unchanged();
}

/// True while what no stamp covers is as the last full check found it:
/// the functions' code and defaults, the classes of the objects that re's
/// lookups compare and hash, and the class of RegexFlag's class.
bool
unstamped_unchanged() noexcept
{
    const Checked &c = checked;
    if (!c.search.unchanged() || !c.split.unchanged()
        || !c.compile.unchanged()
        || (c.flag_meta != NULL
            && (Py_TYPE(c.flag_class) != c.flag_meta
                || support::valid_type_version(c.flag_meta)
                       != c.flag_meta_version))) {
        return false;
    }
    for (int i = 0; i < c.classed_count; i++) {
        const Classed &k = c.classed[i];
        if (Py_TYPE(k.obj) != k.type
            || support::valid_type_version(k.type) != k.version
            || !int_alike(k.obj)) {
            return false;
        }
    }
    for (int i = 0; i < c.colliding_count; i++) {
        if (!plain_cache_key(c.colliding[i])) {
            return false;
        }
    }
    return true;
}

/// What shows, cheaply, that the monitoring state may have changed: the
/// interpreter's attention word, and where the monitoring data of re's
/// three functions' code lies.
std::uintptr_t
code_data_mark() noexcept
{
    std::uintptr_t mark = 0;
    for (PyObject *code : {checked.search.code, checked.split.code,
                           checked.compile.code}) {
        mark = mark * 31 + support::local_monitoring_mark(code);
    }
    return mark;
}

/// 1 when a sys.monitoring tool could be told of an event of re's three
/// functions, 0 when none could, -1 with an exception set. Asked anew when
/// recheck_monitoring() asked for it, when the interpreter shows a change,
/// and where it shows none, after some uses.
int
monitoring_events_set(PyThreadState *t) noexcept
{
    MonitoringSeen &m = monitoring_seen;
    std::uintptr_t attention = support::attention_word(t);
    std::uintptr_t data = code_data_mark();
    if (m.asked && attention == m.attention && data == m.code_data
        && (support::attention_word_available
            || ++m.uses < uses_between_asks)) {
        return m.events_set;
    }
    PyObject *codes[3] = {checked.search.code, checked.split.code,
                          checked.compile.code};
    int set = support::monitoring_events_set(codes, 3);
    if (set < 0) {
        m.asked = false;
        return -1;
    }
    m = MonitoringSeen{true, set == 1, attention, data, 0};
    return set;
}

/// Releases all that was captured; the shortcut is off until a capture.
void
release_captured() noexcept
{
    checked.release();
    checked = Checked{};
    Captured &c = captured;
    Py_CLEAR(c.module);
    Py_CLEAR(c.ns);
    Py_CLEAR(c.cache_name);
    Py_CLEAR(c.comment_pattern);
    Py_CLEAR(c.eq_pattern);
    Py_CLEAR(c.comment_key);
    Py_CLEAR(c.eq_key);
    for (PyObject *&code : c.standard_codes) {
        Py_CLEAR(code);
    }
    c.pattern_type = nullptr;
    c.done = false;
    monitoring_seen = MonitoringSeen{};
}

/// New reference: the compile function of the module _sre, or null (with
/// an exception set only when a lookup failed) when _sre is not loaded or
/// not the interpreter's own.
PyObject *
sre_compile() noexcept
{
    PyObject *sre = PyImport_GetModule(str__sre);
    if (sre == NULL) {
        return NULL;
    }
    PyObject *compile = NULL;
    if (PyModule_CheckExact(sre) && PyModule_GetDef(sre) != NULL) {
        PyObject *found =
            PyDict_GetItemWithError(PyModule_GetDict(sre), str_compile);
        if (found != NULL && PyCFunction_CheckExact(found)
            && PyCFunction_GET_SELF(found) == sre) {
            compile = found;
            Py_INCREF(compile);
        }
    }
    Py_DECREF(sre);
    return compile;
}

/// New reference: the compiled pattern of `text` from its compiled form
/// `code` (n operation codes), as re's compiler makes it; null with an
/// exception set.
PyObject *
compiled(PyObject *compile, PyObject *text, const long *code,
         std::size_t n) noexcept
{
    PyObject *list = PyList_New((Py_ssize_t)n);
    if (list == NULL) {
        return NULL;
    }
    for (std::size_t i = 0; i < n; i++) {
        PyObject *op = PyLong_FromLong(code[i]);
        if (op == NULL) {
            Py_DECREF(list);
            return NULL;
        }
        PyList_SET_ITEM(list, (Py_ssize_t)i, op);
    }
    // (text, flags, code, groups - 1, group index, index group)
    PyObject *result = PyObject_CallFunction(compile, "OlOi{}(O)", text,
                                             unicode_flag, list, 0, Py_None);
    Py_DECREF(list);
    return result;
}

/// New reference: the key re's _compile looks a pattern of `text` up
/// under, (str, text, 0); null with an exception set.
PyObject *
cache_key(PyObject *text) noexcept
{
    PyObject *zero = PyLong_FromLong(0);
    if (zero == NULL) {
        return NULL;
    }
    PyObject *key = PyTuple_Pack(3, (PyObject *)&PyUnicode_Type, text, zero);
    Py_DECREF(zero);
    return key;
}

}  // namespace

int
capture_re() noexcept
{
    release_captured();
    PyObject *module =
        PyDict_GetItemWithError(support::module_namespace, str_re);
    if (module == NULL || !PyModule_CheckExact(module)) {
        return PyErr_Occurred() ? -1 : 0;
    }
    Captured &c = captured;
    PyObject *compile = sre_compile();
    if (compile == NULL) {
        return PyErr_Occurred() ? -1 : 0;
    }
    c.comment_pattern = compiled(compile, str_comment_pattern, comment_code,
                                 sizeof(comment_code) / sizeof(long));
    c.eq_pattern = c.comment_pattern == NULL
                       ? NULL
                       : compiled(compile, str_eq, eq_code,
                                  sizeof(eq_code) / sizeof(long));
    Py_DECREF(compile);
    if (c.eq_pattern == NULL && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
        // _sre's own compile (native code, no code of a caller's) refused
        // the compiled form: an _sre of another make. Its error is this
        // call's alone.
        PyErr_Clear();
        release_captured();
        return 0;
    }
    c.cache_name = PyUnicode_InternFromString(first_cache);
    c.comment_key = cache_key(str_comment_pattern);
    c.eq_key = c.comment_key ? cache_key(str_eq) : NULL;
    if (c.eq_pattern == NULL || c.cache_name == NULL || c.eq_key == NULL
        || PyObject_Hash(c.cache_name) == -1
        || (c.comment_hash = PyObject_Hash(c.comment_key)) == -1
        || (c.eq_hash = PyObject_Hash(c.eq_key)) == -1
        || support::capture_monitoring() < 0) {
        release_captured();
        return -1;
    }
    c.pattern_type = Py_TYPE(c.comment_pattern);
    Py_INCREF(module);
    c.module = module;
    c.ns = PyModule_GetDict(module);
    Py_INCREF(c.ns);
    c.done = true;
    return 0;
}

int
re_shortcut_holds(PyObject *re, PyThreadState *t) noexcept
{
    // A module's class can be reassigned: its attribute lookup is then the
    // class's own.
    if (!captured.done || re != captured.module
        || Py_TYPE(re) != &PyModule_Type || checked.unstampable
        || support::tracing_or_profiling(t)
        || support::async_exception_pending(t)
        || !support::recursion_headroom(t, call_depth)) {
        return 0;
    }
    if (!dictionaries_unchanged() || !unstamped_unchanged()) {
        int holds = check_in_full();
        if (holds <= 0) {
            return holds;
        }
    }
    if (!checked.holds) {
        return 0;
    }
    int set = monitoring_events_set(t);
    return set < 0 ? -1 : !set;
}

void
recheck_monitoring() noexcept
{
    monitoring_seen.asked = false;
}

}  // namespace fernlake
