// The shortcut of the reader's two uses of `re`: its guard, and what it
// captures at import.
#include "shortcuts.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "names.hpp"
#include "support/lookup.hpp"
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
#if FERNLAKE_RE_FRONT_CACHE
constexpr char first_cache[] = "_cache2";
#else
constexpr char first_cache[] = "_cache";
#endif

// The compiled form of "^#" and "=" (what re's compiler makes of them), in
// the operation codes of _sre: INFO and LITERAL are one lower from 3.11.
#if FERNLAKE_SRE_WITHOUT_CALL
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
    /// False when `s` is not ASCII: no standard function of re holds such
    /// a text, and its UTF-8 form would take memory to make, or could not
    /// be made at all for a lone surrogate. Sets no error.
    bool
    str(PyObject *s) noexcept
    {
        if (support::text_ready(s) < 0) {
            PyErr_Clear();
            return false;
        }
        if (!PyUnicode_IS_ASCII(s)) {
            return false;
        }
        counted('s', (const char *)PyUnicode_DATA(s),
                PyUnicode_GET_LENGTH(s));
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

/// Adds the constant `x`; false for a kind of constant that no standard
/// function of re holds. Sets no error.
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
        if (overflow != 0) {
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

/// Adds each name of the tuple `names` (exact str, as a code object
/// holds them); false when one is not ASCII.
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

/// True when the code object `code` is that of re's standard function
/// `name` on this version. A digest that cannot be taken (no memory for
/// the instructions, a constant of another kind) means another function.
/// Sets no error.
bool
is_standard_code(PyObject *code, const char *name) noexcept
{
    support::CodeParts parts = support::code_parts(code);
    PyObject *consts = parts.consts;
    Py_ssize_t first = 0;
    int flags = parts.flags;
    // The docstring (or the None that stands for it) goes: -OO drops it.
    // From 3.14 a flag tells whether the first constant is one (gh-126072).
#ifdef CO_HAS_DOCSTRING
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
    PyObject *instructions = PyCode_GetCode((PyCodeObject *)code);
    PyObject *varnames = instructions != NULL
                             ? PyCode_GetVarnames((PyCodeObject *)code)
                             : NULL;
    if (varnames == NULL) {
        Py_XDECREF(instructions);
        PyErr_Clear();
        return false;
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
    bool digested = true;
    for (Py_ssize_t i = first; digested && i < PyTuple_GET_SIZE(consts);
         i++) {
        digested = add_constant(d, PyTuple_GET_ITEM(consts, i));
    }
    digested = digested && add_names(d, 'N', parts.names)
               && add_names(d, 'V', varnames);
    Py_DECREF(varnames);
    if (!digested) {
        return false;
    }
    if (parts.exception_table != NULL) {
        d.counted('E', PyBytes_AS_STRING(parts.exception_table),
                  PyBytes_GET_SIZE(parts.exception_table));
    }
    const int version = PY_MAJOR_VERSION << 8 | PY_MINOR_VERSION;
    for (const KnownDigest &k : known_digests) {
        if (k.version == version && std::strcmp(k.name, name) == 0
            && k.digest == d.value()) {
            return true;
        }
    }
    return false;
}

// ------------------------------------------------- the captured state

/// A function of re as import found it standard, with what a caller can
/// replace of it in place (its code and defaults), all held.
struct Function {
    PyObject *func = nullptr;
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

    /// True while the function runs the code and defaults it had.
    bool
    unchanged() const noexcept
    {
        return PyFunction_GET_CODE(func) == code
               && PyFunction_GET_DEFAULTS(func) == defaults
               && PyFunction_GET_KW_DEFAULTS(func) == kwdefaults;
    }
};

/// An object whose class a caller can change where no stamp sees it (by
/// assigning `__class__`, or by changing the class), held, and its class
/// and the class's version tag as import found them.
struct Classed {
    PyObject *obj = nullptr;
    PyTypeObject *type = nullptr;
    unsigned int version = 0;

    /// True while the object's class is the same, unchanged.
    bool
    unchanged() const noexcept
    {
        return Py_TYPE(obj) == type
               && support::valid_type_version(type) == version;
    }
};

// The most default objects of search and split that are no exact int (3.13
// has one: split's sentinel, the default of both its keywords).
constexpr int max_classed = 2;

/// What module execution captured: re as the shortcut takes it, every
/// object that the calls reach, each the very object found at import, and
/// the two compiled patterns that re's cache must hold. Lives until a
/// later execution; `done` is false when re was not standard at import,
/// and the shortcut then stays off.
struct Captured {
    bool done = false;
    PyObject *module = nullptr;  // re, held
    PyObject *ns = nullptr;      // its namespace, held
    Function search, split, compile;
    // The builtins the three functions use (the same dictionary) and the
    // isinstance found there, held.
    PyObject *builtins = nullptr;
    PyObject *isinstance = nullptr;
    // re.RegexFlag (held), and its class, whose instance check _compile
    // runs, with that class's version tag.
    PyObject *flag_class = nullptr;
    Classed flag_meta;
    // The defaults that are no exact int (split's sentinel from 3.13).
    Classed classed[max_classed];
    int classed_count = 0;
    // Split's keyword defaults, from 3.13 (held), whose dictionary can
    // change in place.
    PyObject *maxsplit_default = nullptr, *flags_default = nullptr;
    PyObject *cache_name = nullptr;
    // What re's compiler makes of "^#" and "=", their type and its version
    // tag.
    PyObject *comment_pattern = nullptr, *eq_pattern = nullptr;
    PyTypeObject *pattern_type = nullptr;
    unsigned int pattern_version = 0;
    // The keys _compile looks the two patterns up under, and their hashes.
    PyObject *comment_key = nullptr, *eq_key = nullptr;
    Py_hash_t comment_hash = -1, eq_hash = -1;
} captured;

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

// The most keys of re's cache that may share a hash with the two keys
// looked up; more, and the shortcut stays off.
constexpr int max_colliding = 4;

/// What the last full check found: the dictionaries it read, with their
/// stamps, the cache's keys that a lookup of the two patterns compares,
/// and whether the shortcut holds.
struct Checked {
    bool valid = false;  // false: check in full at the next use
    // A dictionary that cannot be stamped leaves the shortcut off for good:
    // every use would otherwise check in full.
    bool unstampable = false;
    Stamped module_ns, ns, builtins, kwdefaults, cache;
    PyObject *colliding[max_colliding] = {};  // held
    int colliding_count = 0;
    bool holds = false;

    void
    release() noexcept
    {
        for (int i = 0; i < colliding_count; i++) {
            Py_CLEAR(colliding[i]);
        }
        colliding_count = 0;
        module_ns = ns = builtins = kwdefaults = cache = Stamped{};
        holds = valid = false;
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

// Where the interpreter's state of monitoring cannot be watched cheaply
// (3.12, which shows no change of the events set globally), it is asked
// again after this many uses.
constexpr int uses_between_asks = 64;

// ------------------------------------------------------ the checks

using support::only_str_keys;

/// Borrowed: the value of the name `name` (an interned str) in `dict`,
/// whose keys are all exact str: no code runs and nothing fails.
PyObject *
lookup(PyObject *dict, PyObject *name) noexcept
{
    return PyDict_GetItemWithError(dict, name);
}

/// Borrowed: what the global name `name` resolves to in re's functions:
/// re's namespace first, then their builtins (both of exact str keys).
PyObject *
resolve(PyObject *name) noexcept
{
    PyObject *found = lookup(captured.ns, name);
    return found != NULL ? found : lookup(captured.builtins, name);
}

/// True when `obj` is one of the defaults captured whose class can change.
bool
is_classed_default(PyObject *obj) noexcept
{
    for (int i = 0; i < captured.classed_count; i++) {
        if (captured.classed[i].obj == obj) {
            return true;
        }
    }
    return false;
}

/// True when `key`, a key of re's cache, hashes and compares without
/// running code: a (class, text, flags) triple of the kind _compile makes,
/// exactly a tuple, whose class has the plain metatype (so it compares by
/// identity), whose text is an exact str or bytes and whose flags are an
/// exact int or a default of re's captured at import.
bool
plain_cache_key(PyObject *key) noexcept
{
    if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 3) {
        return false;
    }
    PyObject *cls = PyTuple_GET_ITEM(key, 0);
    PyObject *text = PyTuple_GET_ITEM(key, 1);
    PyObject *flags = PyTuple_GET_ITEM(key, 2);
    return Py_TYPE(cls) == &PyType_Type
           && (PyUnicode_CheckExact(text) || PyBytes_CheckExact(text))
           && (PyLong_CheckExact(flags) || is_classed_default(flags));
}

/// True when `found` (held by the caller), the value of re's cache under a
/// pattern's key, is a pattern equal to `reference`: exactly of the type
/// _sre makes, its text an exact str, the same flags, compiled code and
/// text, and no groups (which equality leaves out, and which change what
/// split returns). Nothing read runs code: the pattern's attributes are
/// members of its type, and its equality compares two exact str last.
bool
same_pattern(PyObject *found, PyObject *reference) noexcept
{
    if (Py_TYPE(found) != captured.pattern_type) {
        return false;
    }
    PyObject *text = PyObject_GetAttr(found, str_pattern);
    bool exact = text != NULL && PyUnicode_CheckExact(text);
    Py_XDECREF(text);  // the pattern holds it
    if (!exact || PyObject_RichCompareBool(found, reference, Py_EQ) != 1) {
        return false;
    }
    PyObject *groups = PyObject_GetAttr(found, str_groups);
    int overflow = 0;
    bool none = groups != NULL && PyLong_CheckExact(groups)
                && PyLong_AsLongAndOverflow(groups, &overflow) == 0
                && overflow == 0;
    Py_XDECREF(groups);
    return none;
}

/// True when re's first cache holds under `key` (with hash `hash`) a
/// pattern equal to `reference`.
bool
pattern_cached(PyObject *key, Py_hash_t hash, PyObject *reference) noexcept
{
    PyObject *found =
        support::dict_get_known_hash(checked.cache.dict, key, hash);
    if (found == NULL) {
        return false;
    }
    Py_INCREF(found);
    bool same = same_pattern(found, reference);
    Py_DECREF(found);
    return same;
}

/// True when re's first cache can serve the two lookups without running
/// code of a caller's and holds the two patterns: every key is plain, and
/// those that share a hash with a key looked up (which the lookup
/// compares) hold an exact str, which compares with "^#" or "=" without a
/// warning. Records those keys, whose class's metatype can still change.
bool
check_cache() noexcept
{
    PyObject *cache = lookup(captured.ns, captured.cache_name);
    if (cache == NULL || !PyDict_CheckExact(cache)
        || !checked.cache.take(cache)) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(cache, &pos, &key, &value)) {
        if (!plain_cache_key(key)) {
            return false;
        }
        // The hash of such a key runs no code, and cannot fail.
        Py_hash_t hash = PyObject_Hash(key);
        if (hash == captured.comment_hash || hash == captured.eq_hash) {
            if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(key, 1))
                || checked.colliding_count == max_colliding) {
                return false;
            }
            Py_INCREF(key);
            checked.colliding[checked.colliding_count++] = key;
        }
        else if (hash == -1) {
            return false;
        }
    }
    return pattern_cached(captured.comment_key, captured.comment_hash,
                          captured.comment_pattern)
           && pattern_cached(captured.eq_key, captured.eq_hash,
                             captured.eq_pattern);
}

/// True when everything that the calls reach through dictionaries is what
/// import captured: the module's namespace, where the reader looks `re`
/// up, holds only exact str keys; re's namespace does too and names the
/// captured functions and RegexFlag; the functions' builtins are the
/// captured ones; isinstance and type resolve to the builtins; split's
/// keyword defaults are the captured objects; and re's cache holds the two
/// patterns (see check_cache()). Each dictionary's stamp is taken before
/// its contents are read, so that a change made meanwhile is seen at the
/// next use.
bool
dictionaries_hold() noexcept
{
    const Captured &c = captured;
    PyObject *module_ns = support::module_namespace;
    if (!checked.module_ns.take(module_ns) || !only_str_keys(module_ns)
        || !checked.ns.take(c.ns) || !only_str_keys(c.ns)
        || lookup(c.ns, str_search) != c.search.func
        || lookup(c.ns, str_split) != c.split.func
        || lookup(c.ns, str__compile) != c.compile.func
        || lookup(c.ns, str_RegexFlag) != c.flag_class) {
        return false;
    }
    // Before 3.10 the builtins are found through the namespace at each
    // call; from 3.10 they are fixed when the function is made, and the
    // functions are the captured ones.
#if !FERNLAKE_FUNCTIONS_KEEP_BUILTINS
    for (const Function *f : {&c.search, &c.split, &c.compile}) {
        if (support::function_builtins(f->func) != c.builtins) {
            PyErr_Clear();
            return false;
        }
    }
#endif
    if (!checked.builtins.take(c.builtins) || !only_str_keys(c.builtins)
        || resolve(str_isinstance) != c.isinstance
        || resolve(str_type) != (PyObject *)&PyType_Type) {
        return false;
    }
    PyObject *kw = c.split.kwdefaults;
    if (kw != NULL
        && (!checked.kwdefaults.take(kw) || PyDict_GET_SIZE(kw) != 2
            || !only_str_keys(kw)
            || lookup(kw, str_maxsplit) != c.maxsplit_default
            || lookup(kw, str_flags) != c.flags_default)) {
        return false;
    }
    return support::valid_type_version(c.pattern_type) == c.pattern_version
           && check_cache();
}

/// Checks in full and records what was found (see Checked). Leaves no
/// error: what cannot be decided leaves the shortcut off.
void
check_in_full() noexcept
{
    checked.release();
    bool holds = dictionaries_hold();
    if (PyErr_Occurred()) {
        PyErr_Clear();  // no memory, say: tried again at the next use
        checked.holds = false;
        return;
    }
    checked.valid = true;
    for (const Stamped *s : {&checked.module_ns, &checked.ns,
                             &checked.builtins, &checked.kwdefaults,
                             &checked.cache}) {
        if (s->dict != NULL && s->stamp == 0) {
            checked.unstampable = true;
        }
    }
    checked.holds = holds && !checked.unstampable;
}

/// True while the dictionaries that the last full check read are as it
/// found them.
bool
dictionaries_unchanged() noexcept
{
    const Checked &c = checked;
    return c.valid && c.module_ns.unchanged() && c.ns.unchanged()
           && c.builtins.unchanged() && c.kwdefaults.unchanged()
           && c.cache.unchanged();
}

/// True while what no stamp covers is as import captured it: the
/// functions' code and defaults, the classes of the defaults that are no
/// exact int, and the class of RegexFlag; and the cache keys that a lookup
/// compares still have the plain metatype.
bool
objects_unchanged() noexcept
{
    const Captured &c = captured;
    if (!c.search.unchanged() || !c.split.unchanged()
        || !c.compile.unchanged() || !c.flag_meta.unchanged()) {
        return false;
    }
    for (int i = 0; i < c.classed_count; i++) {
        if (!c.classed[i].unchanged()) {
            return false;
        }
    }
    for (int i = 0; i < checked.colliding_count; i++) {
        PyObject *cls = PyTuple_GET_ITEM(checked.colliding[i], 0);
        if (Py_TYPE(cls) != &PyType_Type) {
            return false;
        }
    }
    return true;
}

/// What shows, cheaply, that the events set on re's three functions' code
/// may have changed (see support::local_monitoring_mark()).
std::uintptr_t
code_data_mark() noexcept
{
    std::uintptr_t mark = 0;
    for (const Function *f :
         {&captured.search, &captured.split, &captured.compile}) {
        mark = mark * 31 + support::local_monitoring_mark(f->code);
    }
    return mark;
}

/// True when a sys.monitoring tool (ids 0 to 5) could be told of an event
/// of re's three functions, or when that cannot be told. Asked anew when
/// recheck_monitoring() asked for it, when the attention word or the marks
/// of the code objects show a change, and where the interpreter shows no
/// change of the events set globally, after some uses.
bool
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
    PyObject *codes[3] = {captured.search.code, captured.split.code,
                          captured.compile.code};
    int set = support::monitoring_events_set(codes, 3);
    if (set < 0) {
        // Cannot tell: off for this use, and asked again at the next.
        PyErr_Clear();
        m.asked = false;
        return true;
    }
    m = MonitoringSeen{true, set == 1, attention, data, 0};
    return set == 1;
}

// ------------------------------------------------------ the capture

/// Releases all that was captured; the shortcut is off until a capture.
void
release_captured() noexcept
{
    checked.release();
    checked = Checked{};
    Captured &c = captured;
    Py_CLEAR(c.module);
    Py_CLEAR(c.ns);
    c.search.release();
    c.split.release();
    c.compile.release();
    Py_CLEAR(c.builtins);
    Py_CLEAR(c.isinstance);
    Py_CLEAR(c.flag_class);
    for (int i = 0; i < c.classed_count; i++) {
        Py_CLEAR(c.classed[i].obj);
    }
    Py_CLEAR(c.maxsplit_default);
    Py_CLEAR(c.flags_default);
    Py_CLEAR(c.cache_name);
    Py_CLEAR(c.comment_pattern);
    Py_CLEAR(c.eq_pattern);
    Py_CLEAR(c.comment_key);
    Py_CLEAR(c.eq_key);
    c = Captured{};
    monitoring_seen = MonitoringSeen{};
}

/// The version tag of `type`, which a lookup gives it when it has none; 0
/// when it can have none.
unsigned int
type_version(PyTypeObject *type, PyObject *name) noexcept
{
    support::type_lookup(type, name);
    return support::valid_type_version(type);
}

/// True when `value`, a default of search or split, is an int 0 whose
/// comparison, hash and instance check run no code: an exact int, or an
/// instance of a direct subclass of int that keeps int's comparison and
/// hash, looks its attributes up generically and has object's `__class__`
/// (re's sentinel from 3.13), which is then recorded with its class.
bool
zero_default(PyObject *value) noexcept
{
    if (value == NULL || !PyLong_Check(value)) {
        return false;
    }
    int overflow = 0;
    if (PyLong_AsLongAndOverflow(value, &overflow) != 0 || overflow != 0) {
        return false;
    }
    PyTypeObject *type = Py_TYPE(value);
    if (type == &PyLong_Type || is_classed_default(value)) {
        return true;  // int's class cannot change
    }
    Captured &c = captured;
    PyObject *name = str___instancecheck__;
    if (type->tp_base != &PyLong_Type
        || type->tp_richcompare != PyLong_Type.tp_richcompare
        || type->tp_hash != PyLong_Type.tp_hash
        || type->tp_getattro != PyObject_GenericGetAttr
        || c.classed_count == max_classed) {
        return false;
    }
    bool plain = support::type_lookup(type, str___class__)
                 == support::type_lookup(&PyBaseObject_Type, str___class__);
    unsigned int version = type_version(type, name);
    if (!plain || version == 0) {
        return false;
    }
    Py_INCREF(value);
    c.classed[c.classed_count++] = Classed{value, type, version};
    return true;
}

/// True when `found` is re's standard function `name` (by its code's
/// digest) with re's namespace as its globals and the plain function type;
/// holds it in `f`.
bool
take_function(Function &f, PyObject *found, const char *name) noexcept
{
    if (found == NULL || Py_TYPE(found) != &PyFunction_Type
        || PyFunction_GET_GLOBALS(found) != captured.ns) {
        return false;
    }
    f.hold(found);
    return is_standard_code(f.code, name);
}

/// True when the defaults of search and split are re's: flags 0 for both,
/// and maxsplit 0 for split, keyword-only from 3.13; and _compile has
/// none.
bool
standard_defaults() noexcept
{
    const Captured &c = captured;
    PyObject *search = c.search.defaults, *split = c.split.defaults;
    if (search == NULL || PyTuple_GET_SIZE(search) != 1
        || !zero_default(PyTuple_GET_ITEM(search, 0))
        || c.search.kwdefaults != NULL || c.compile.defaults != NULL
        || c.compile.kwdefaults != NULL) {
        return false;
    }
#if FERNLAKE_RE_SPLIT_KEYWORD_ONLY
    PyObject *kw = c.split.kwdefaults;
    if (split != NULL || kw == NULL || !PyDict_CheckExact(kw)
        || PyDict_GET_SIZE(kw) != 2 || !only_str_keys(kw)) {
        return false;
    }
    PyObject *maxsplit = lookup(kw, str_maxsplit);
    PyObject *flags = lookup(kw, str_flags);
    if (!zero_default(maxsplit) || !zero_default(flags)) {
        return false;
    }
    Py_INCREF(maxsplit);
    captured.maxsplit_default = maxsplit;
    Py_INCREF(flags);
    captured.flags_default = flags;
    return true;
#else
    return split != NULL && PyTuple_GET_SIZE(split) == 2
           && zero_default(PyTuple_GET_ITEM(split, 0))
           && zero_default(PyTuple_GET_ITEM(split, 1))
           && c.split.kwdefaults == NULL;
#endif
}

/// True when _compile's instance check of the flags,
/// isinstance(flags, RegexFlag), runs no code and is false for each flags
/// object that search and split pass: RegexFlag is a class whose class
/// keeps type's instance check, and neither int nor a class of a default
/// derives from it. Records RegexFlag and its class.
bool
flags_are_no_regex_flags(PyObject *flag_class) noexcept
{
    if (flag_class == NULL || !PyType_Check(flag_class)
        || PyType_IsSubtype(&PyLong_Type, (PyTypeObject *)flag_class)) {
        return false;
    }
    Captured &c = captured;
    for (int i = 0; i < c.classed_count; i++) {
        if (PyType_IsSubtype(c.classed[i].type,
                             (PyTypeObject *)flag_class)) {
            return false;
        }
    }
    PyTypeObject *meta = Py_TYPE(flag_class);
    PyObject *name = str___instancecheck__;
    unsigned int version = type_version(meta, name);
    if (version == 0
        || support::type_lookup(meta, name)
               != support::type_lookup(&PyType_Type, name)) {
        return false;
    }
    Py_INCREF(flag_class);
    c.flag_class = flag_class;
    c.flag_meta = Classed{flag_class, meta, version};
    return true;
}

/// True when re, as import finds it, is what the shortcut computes: its
/// namespace of exact str keys holds search, split and _compile, re's
/// standard functions with their standard defaults, and RegexFlag; they
/// use the same builtins, where isinstance and type are the builtins
/// module's own; and the compiled patterns' type reads its text and groups
/// as members. Captures each of these objects. Sets no error.
bool
re_is_standard() noexcept
{
    Captured &c = captured;
    if (!only_str_keys(c.ns)
        || !take_function(c.search, lookup(c.ns, str_search), "search")
        || !take_function(c.split, lookup(c.ns, str_split), "split")
        || !take_function(c.compile, lookup(c.ns, str__compile),
                          "_compile")) {
        return false;
    }
    PyObject *builtins = support::function_builtins(c.search.func);
    if (builtins == NULL || !PyDict_CheckExact(builtins)
        || builtins != support::function_builtins(c.split.func)
        || builtins != support::function_builtins(c.compile.func)
        || !only_str_keys(builtins)) {
        PyErr_Clear();
        return false;
    }
    Py_INCREF(builtins);
    c.builtins = builtins;
    PyObject *isinstance = resolve(str_isinstance);
    if (isinstance == NULL || !PyCFunction_CheckExact(isinstance)
        || PyCFunction_GET_SELF(isinstance) != support::builtins_module
        || std::strcmp(((PyCFunctionObject *)isinstance)->m_ml->ml_name,
                       "isinstance")
               != 0
        || resolve(str_type) != (PyObject *)&PyType_Type) {
        return false;
    }
    Py_INCREF(isinstance);
    c.isinstance = isinstance;
    if (!standard_defaults()
        || !flags_are_no_regex_flags(lookup(c.ns, str_RegexFlag))) {
        return false;
    }
    PyTypeObject *type = c.pattern_type;
    c.pattern_version = type_version(type, str_pattern);
    return c.pattern_version != 0
           && type->tp_getattro == PyObject_GenericGetAttr
           && Py_TYPE(support::type_lookup(type, str_pattern))
                  == &PyMemberDescr_Type
           && Py_TYPE(support::type_lookup(type, str_groups))
                  == &PyMemberDescr_Type;
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
    if (!re_is_standard()) {
        // Not re's standard module: the shortcut stays off.
        assert(!PyErr_Occurred());
        release_captured();
        return 0;
    }
    c.done = true;
    return 0;
}

int
re_shortcut_holds(PyObject *re, PyThreadState *t) noexcept
{
    assert(!PyErr_Occurred());
    // A module's class can be reassigned: its attribute lookup is then the
    // class's own.
    if (!captured.done || re != captured.module
        || Py_TYPE(re) != &PyModule_Type || checked.unstampable
        || support::tracing_or_profiling(t) || support::pending_work(t)
        || !support::recursion_headroom(t, call_depth)
        || !objects_unchanged()) {
        return 0;
    }
    if (!dictionaries_unchanged()) {
        check_in_full();
    }
    return checked.holds && !monitoring_events_set(t);
}

void
recheck_monitoring() noexcept
{
    monitoring_seen.asked = false;
}

void
caller_code_ran() noexcept
{
    if (!support::monitoring_changes_marked) {
        monitoring_seen.asked = false;
    }
}

int
check_line_signals(PyThreadState *t) noexcept
{
    if (!support::attention_word_available) {
        return PyErr_CheckSignals();
    }
    // As the evaluation loop, only when the attention word shows work; a
    // handler or a collection may then run code of a caller's.
    if (!support::pending_work(t)) {
        return 0;
    }
    monitoring_seen.asked = false;
    return support::serve_pending_work(t);
}

}  // namespace fernlake
