// Tests of the support layer that Python code cannot reach: the code object
// cache (order, bisection, growth, references, allocation failures), the
// handling of the pending exception while a traceback entry is built, and
// from 3.14 the stamps of dictionaries.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/code_cache.hpp"
#include "support/interpreter.hpp"
#include "support/process_state.hpp"
#include "support/traceback.hpp"

using fernlake::support::CodeCache;

namespace {

int failures = 0;

#define CHECK(cond)                                                         \
    do {                                                                    \
        if (!(cond)) {                                                      \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__,     \
                         __LINE__, #cond);                                  \
            failures++;                                                     \
        }                                                                   \
    } while (0)

PyObject *
new_code(int line)
{
    return (PyObject *)PyCode_NewEmpty("file", "name", line);
}

/// The cache's keys must be strictly ascending, for its bisection.
void
check_shape(const CodeCache &cache)
{
    for (int i = 1; i < cache.count(); i++) {
        CHECK(cache.key_at(i - 1) < cache.key_at(i));
    }
}

void
test_empty_cache()
{
    CodeCache cache;
    CHECK(cache.find(5) == NULL);
    CHECK(cache.find(0) == NULL);
    PyObject *code = new_code(1);
    cache.insert(0, code);  // key 0 is never stored
    CHECK(cache.count() == 0);
    CHECK(Py_REFCNT(code) == 1);
    Py_DECREF(code);
    CHECK(!PyErr_Occurred());
}

/// A cache of one key finds it.
void
test_single_key()
{
    CodeCache cache;
    PyObject *code = new_code(3);
    cache.insert(-3, code);
    PyObject *found = cache.find(-3);
    CHECK(found == code);
    CHECK(cache.find(3) == NULL && cache.find(-4) == NULL);
    Py_XDECREF(found);
    Py_DECREF(code);
}

enum class Order { shuffled, ascending, descending };

/// Random keys of both signs, inserted in `order`: every key stays findable
/// and absent keys miss, across the cache's growth; ascending and
/// descending keys reach the ends of the bisection.
void
test_many_keys(unsigned seed, int n, Order order = Order::shuffled)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(-5000, 5000);
    std::set<int> chosen;
    while ((int)chosen.size() < n) {
        int k = dist(rng);
        if (k != 0) {
            chosen.insert(k);
        }
    }
    std::vector<int> keys(chosen.begin(), chosen.end());
    if (order == Order::shuffled) {
        std::shuffle(keys.begin(), keys.end(), rng);
    }
    else if (order == Order::descending) {
        std::reverse(keys.begin(), keys.end());
    }

    CodeCache cache;
    std::vector<PyObject *> codes;
    for (int i = 0; i < n; i++) {
        PyObject *code = new_code(i + 1);
        codes.push_back(code);
        cache.insert(keys[i], code);
        CHECK(cache.count() == i + 1);
        CHECK(Py_REFCNT(code) == 2);
    }
    check_shape(cache);
    for (int i = 0; i < n; i++) {
        PyObject *found = cache.find(keys[i]);
        CHECK(found == codes[i]);
        Py_XDECREF(found);
    }
    for (int k = -5100; k <= 5100; k++) {
        if (k != 0 && chosen.count(k) == 0) {
            CHECK(cache.find(k) == NULL);
        }
    }
    // Replacing an entry releases the old object and keeps the order.
    PyObject *replacement = new_code(9999);
    PyObject *old = codes[n / 2];
    cache.insert(keys[n / 2], replacement);
    CHECK(cache.count() == n);
    CHECK(Py_REFCNT(old) == 1);
    CHECK(Py_REFCNT(replacement) == 2);
    PyObject *found = cache.find(keys[n / 2]);
    CHECK(found == replacement);
    Py_XDECREF(found);
    check_shape(cache);
    CHECK(!PyErr_Occurred());
    // The cache is never freed: the test drops its own references only.
    Py_DECREF(replacement);
    for (PyObject *code : codes) {
        Py_DECREF(code);
    }
}

/// While it lives, allocations in its domain fail whenever `failing` is
/// set. One at a time.
class FailingAllocator {
  public:
    static inline bool failing = false;

    explicit FailingAllocator(PyMemAllocatorDomain domain) : domain_(domain)
    {
        PyMem_GetAllocator(domain, &real_);
        PyMemAllocatorEx hook = {real_.ctx, hook_malloc, hook_calloc,
                                 hook_realloc, hook_free};
        PyMem_SetAllocator(domain, &hook);
    }
    ~FailingAllocator() { PyMem_SetAllocator(domain_, &real_); }

  private:
    static void *
    hook_malloc(void *ctx, size_t size)
    {
        return failing ? NULL : real_.malloc(ctx, size);
    }
    static void *
    hook_calloc(void *ctx, size_t n, size_t size)
    {
        return failing ? NULL : real_.calloc(ctx, n, size);
    }
    static void *
    hook_realloc(void *ctx, void *p, size_t size)
    {
        return failing ? NULL : real_.realloc(ctx, p, size);
    }
    static void
    hook_free(void *ctx, void *p)
    {
        real_.free(ctx, p);
    }

    static inline PyMemAllocatorEx real_;
    PyMemAllocatorDomain domain_;
};

/// A cache that cannot allocate or grow stays as it was and reports no
/// error.
void
test_allocation_failure()
{
    PyObject *code = new_code(1);
    FailingAllocator allocator(PYMEM_DOMAIN_MEM);

    CodeCache cache;
    FailingAllocator::failing = true;
    cache.insert(7, code);
    FailingAllocator::failing = false;
    CHECK(cache.count() == 0);
    CHECK(cache.find(7) == NULL);

    // A full cache, whose next entry needs more room.
    const int full = CodeCache::growth;
    for (int i = 1; i <= full; i++) {
        cache.insert(i, code);
    }
    FailingAllocator::failing = true;
    cache.insert(full + 1, code);
    FailingAllocator::failing = false;
    CHECK(cache.count() == full);
    CHECK(cache.find(full + 1) == NULL);
    cache.insert(full + 1, code);
    CHECK(cache.count() == full + 1);
    check_shape(cache);
    CHECK(!PyErr_Occurred());
    CHECK(Py_REFCNT(code) == full + 2);
}

const fernlake::support::Routine routine{"pkg.mod.routine", "src\\file",
                                         "src/file"};

/// A traceback entry keeps the pending exception and adds one frame, named
/// `expected`.
void
test_traceback_keeps_exception(int line, const char *expected)
{
    PyErr_SetString(PyExc_ValueError, "kept");
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_Restore(type, value, tb);

    fernlake::support::add_traceback(routine, 1234, line);
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    CHECK(t2 == PyExc_ValueError);
    CHECK(v2 == value);
    CHECK(tb2 != NULL && PyTraceBack_Check(tb2));
    if (tb2 != NULL) {
        // Read as Python code reads them: from 3.13 the entry computes its
        // line when asked, and frames hide their fields from 3.11.
        PyObject *names = Py_BuildValue("{sO}", "tb", tb2);
        PyObject *seen = names == NULL ? NULL : PyRun_String(
            "tb.tb_lineno, tb.tb_next, tb.tb_frame.f_code.co_name, "
            "tb.tb_frame.f_code.co_filename",
            Py_eval_input, names, names);
        PyObject *wanted =
            Py_BuildValue("(iOss)", line, Py_None, expected, "src\\file");
        CHECK(seen != NULL && wanted != NULL
              && PyObject_RichCompareBool(seen, wanted, Py_EQ) == 1);
        Py_XDECREF(names);
        Py_XDECREF(seen);
        Py_XDECREF(wanted);
    }
    Py_XDECREF(t2);
    Py_XDECREF(v2);
    Py_XDECREF(tb2);
}

const fernlake::support::Routine other{"pkg.mod.other", "src\\file",
                                       "src/file"};

/// The line and routine of the one entry that `routine` adds at `position`
/// and `line` to a pending exception, as "routine:line".
std::string
entry_of(const fernlake::support::Routine &r, int position, int line)
{
    PyErr_SetString(PyExc_ValueError, "x");
    fernlake::support::add_traceback(r, position, line);
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    std::string seen = "none";
    PyObject *names = tb ? Py_BuildValue("{sO}", "tb", tb) : NULL;
    PyObject *text = names == NULL ? NULL : PyRun_String(
        "f'{tb.tb_frame.f_code.co_name}:{tb.tb_lineno}'", Py_eval_input,
        names, names);
    if (text != NULL) {
        seen = PyUnicode_AsUTF8(text);
    }
    Py_XDECREF(text);
    Py_XDECREF(names);
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    return seen;
}

/// A code object is cached under a line (the switch off) or a position (on):
/// an entry of another routine at the same line, or of the same position at
/// another line, gets a code object of its own.
void
test_cached_entries_match_routine_and_line()
{
    CHECK(entry_of(routine, 1234, 60) == "pkg.mod.routine:60");
    CHECK(entry_of(other, 1234, 60) == "pkg.mod.other:60");
    PyObject_SetAttrString(fernlake::support::runtime_module,
                           "cline_in_traceback", Py_True);
    CHECK(entry_of(routine, 1234, 61)
          == "pkg.mod.routine (src/file:1234):61");
    CHECK(entry_of(routine, 1234, 62)
          == "pkg.mod.routine (src/file:1234):62");
    PyObject_SetAttrString(fernlake::support::runtime_module,
                           "cline_in_traceback", Py_False);
}

/// A failure point keeps the line of each failure: its cached code object
/// serves only the line it was made for, also when making the code object
/// for another line failed in between, and the entry at the first line
/// follows one at another.
void
test_failure_point_at_several_lines()
{
    PyObject_SetAttrString(fernlake::support::runtime_module,
                           "cline_in_traceback", Py_True);
    CHECK(entry_of(routine, 4321, 70)
          == "pkg.mod.routine (src/file:4321):70");
    {
        FailingAllocator allocator(PYMEM_DOMAIN_OBJ);
        FailingAllocator::failing = true;
        CHECK(entry_of(routine, 4321, 71) == "none");
        FailingAllocator::failing = false;
    }
    CHECK(entry_of(routine, 4321, 71)
          == "pkg.mod.routine (src/file:4321):71");
    CHECK(entry_of(routine, 4321, 70)
          == "pkg.mod.routine (src/file:4321):70");
    PyObject_SetAttrString(fernlake::support::runtime_module,
                           "cline_in_traceback", Py_False);
    CHECK(entry_of(routine, 4321, 72) == "pkg.mod.routine:72");
    CHECK(entry_of(routine, 4321, 70) == "pkg.mod.routine:70");
    CHECK(!PyErr_Occurred());
}

#if !FERNLAKE_DICT_VERSION_TAG
/// The stamp of a dictionary made where a watched one ended is that of a
/// new dictionary: its changes show in its stamp.
void
test_stamp_of_a_dictionary_at_a_freed_one_s_address()
{
    using fernlake::support::dict_stamp;
    PyObject *first = PyDict_New();
    CHECK(first != NULL && dict_stamp(first) != 0);
    void *address = first;
    Py_DECREF(first);
    PyObject *second = PyDict_New();  // from the free list: same address
    if (second != address) {
        std::fprintf(stderr, "note: no dictionary at the freed address\n");
    }
    std::uint64_t before = dict_stamp(second);
    PyDict_SetItemString(second, "k", Py_None);
    CHECK(before == 0 || dict_stamp(second) != before);
    Py_DECREF(second);
    CHECK(!PyErr_Occurred());
}

/// Many more live dictionaries than the watcher keeps: each stamp given
/// changes with its dictionary, those beyond are 0, and once they end the
/// watcher keeps others again.
void
test_stamps_of_many_dictionaries()
{
    using fernlake::support::dict_stamp;
    constexpr int n = 40;
    PyObject *dicts[n];
    std::uint64_t stamps[n];
    int stamped = 0;
    for (int i = 0; i < n; i++) {
        dicts[i] = PyDict_New();
        stamps[i] = dict_stamp(dicts[i]);
        stamped += stamps[i] != 0;
    }
    CHECK(stamped > 0);
    for (int i = 0; i < n; i++) {
        PyDict_SetItemString(dicts[i], "k", Py_None);
        CHECK(stamps[i] == 0 || dict_stamp(dicts[i]) != stamps[i]);
    }
    for (PyObject *d : dicts) {
        Py_DECREF(d);
    }
    PyObject *later = PyDict_New();
    CHECK(dict_stamp(later) != 0);
    Py_DECREF(later);
    CHECK(!PyErr_Occurred());
}
#endif

/// When the code object cannot be made, the error of that attempt replaces
/// the pending exception and no entry is added.
void
test_traceback_creation_failure()
{
    PyErr_SetString(PyExc_ValueError, "lost");
    {
        // A line never used before, so that no cached code object serves it.
        FailingAllocator allocator(PYMEM_DOMAIN_OBJ);
        FailingAllocator::failing = true;
        fernlake::support::add_traceback(routine, 0, 777);
        FailingAllocator::failing = false;
    }
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    CHECK(t != NULL && PyErr_GivenExceptionMatches(t, PyExc_MemoryError));
    CHECK(tb == NULL);
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
}

}  // namespace

int
main()
{
    Py_Initialize();
    // Frames take their builtins from the globals' __builtins__.
    PyObject *globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    fernlake::support::module_namespace = globals;

    test_empty_cache();
    test_single_key();
    for (unsigned seed = 1; seed <= 20; seed++) {
        test_many_keys(seed, 1 + (int)(seed * 37 % 300));
    }
    test_many_keys(99, 64);
    test_many_keys(98, 65);
    test_many_keys(97, 128);
    test_many_keys(96, 129);
    test_many_keys(95, 200, Order::ascending);
    test_many_keys(94, 200, Order::descending);
    test_allocation_failure();
    // Before the runtime support module exists, names carry positions.
    test_traceback_keeps_exception(42, "pkg.mod.routine (src/file:1234)");
    fernlake::support::runtime_module = PyModule_New("korvel_runtime");
    fernlake::support::switch_name =
        PyUnicode_InternFromString("cline_in_traceback");
    PyObject_Hash(fernlake::support::switch_name);
    test_traceback_keeps_exception(43, "pkg.mod.routine");
    PyObject *off = PyObject_GetAttrString(fernlake::support::runtime_module,
                                           "cline_in_traceback");
    CHECK(off == Py_False);
    Py_XDECREF(off);
    test_cached_entries_match_routine_and_line();
    test_traceback_creation_failure();
    test_failure_point_at_several_lines();
#if !FERNLAKE_DICT_VERSION_TAG
    test_stamp_of_a_dictionary_at_a_freed_one_s_address();
    test_stamps_of_many_dictionaries();
#endif

    if (failures) {
        std::fprintf(stderr, "native tests: %d failed checks\n", failures);
        return 1;
    }
    std::printf("native tests: all checks passed\n");
    return 0;
}
