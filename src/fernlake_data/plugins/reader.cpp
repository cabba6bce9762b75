// The method read_param of Parameter: reads a parameter file of key=value
// lines into its target by item assignment, and its record.
#define PARAM_SOURCE_ID 3

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "names.hpp"
#include "parameter_methods.hpp"
#include "shortcuts.hpp"
#include "source_positions.hpp"
#include "support/call.hpp"
#include "support/exception_state.hpp"
#include "support/interpreter.hpp"
#include "support/lookup.hpp"
#include "support/object_ops.hpp"

namespace fernlake {

using support::add_traceback;
using support::ExceptionTriple;

namespace {

/// Where a step of the reader failed: its implementation position and its
/// source line.
struct Failure {
    int pos;
    int line;
};

// The steps below report their own failure point through `*pos` or the
// position of a Failure, and their source line through its line.

// One of the two calls of a function of the global `re` (re.search and
// re.split): the lookup of `re` it remembers, and its failure points,
// distinct from those of the other call.
struct ReCall {
    support::DictMemo memo;
    int resolve, lookup, call;
};

ReCall search_call = {
    {},
    IMPL_POS,  // resolving `re`
    IMPL_POS,  // looking up `search`
    IMPL_POS,  // calling it
};
ReCall split_call = {
    {},
    IMPL_POS,  // resolving `re`
    IMPL_POS,  // looking up `split`
    IMPL_POS,  // calling it
};

/// New reference: the global `re`, resolved for the call `site`.
PyObject *
resolve_re(ReCall &site, int *pos) noexcept
{
    PyObject *re = support::get_global(site.memo, str_re);
    if (re == NULL) {
        *pos = site.resolve;
    }
    return re;
}

/// New reference: `re.<attr>(pattern, line)`, with `re` (stolen) resolved
/// for the call `site`.
PyObject *
call_re(ReCall &site, PyObject *re, PyObject *attr, PyObject *pattern,
        PyObject *line, int *pos) noexcept
{
    PyObject *func = support::get_attr(re, attr);
    Py_DECREF(re);
    if (func == NULL) {
        *pos = site.lookup;
        return NULL;
    }
    PyObject *args[2] = {pattern, line};
    PyObject *result = support::call_split(func, args, 2);
    if (result == NULL) {
        *pos = site.call;
    }
    return result;
}

// Failure points that a call and its shortcut share.
constexpr int str_call_pos = IMPL_POS;
constexpr int strip_call_pos = IMPL_POS;
constexpr int unpack_pos = IMPL_POS;

/// New reference: `str(raw)`. For an exact str that is `raw` itself, after
/// the recursion guard of the call and the signal check that str() makes.
PyObject *
str_of(PyObject *raw) noexcept
{
    if (!PyUnicode_CheckExact(raw)) {
        return support::call_vector((PyObject *)&PyUnicode_Type, &raw, 1);
    }
    return support::in_call_guard([&]() -> PyObject * {
        if (check_line_signals(PyThreadState_GetUnchecked()) < 0
            || support::text_ready(raw) < 0) {
            return NULL;
        }
        Py_INCREF(raw);
        return raw;
    });
}

/// New reference: `text.strip()`. For an exact str, str.strip's own
/// function runs on it inside the recursion guard of the call, without the
/// bound method and the argument tuple.
PyObject *
stripped(PyObject *text, int *pos) noexcept
{
    PyObject *result;
    if (strip_function != NULL && PyUnicode_CheckExact(text)) {
        PARAM_SHORTCUT_RAN(strip);
        result = support::in_call_guard(
            [&] { return strip_function(text, NULL, 0); });
    }
    else {
        PyObject *strip = support::get_attr(text, str_strip);
        if (strip == NULL) {
            *pos = IMPL_POS;
            return NULL;
        }
        result = support::call_split(strip, NULL, 0);
    }
    if (result == NULL) {
        *pos = strip_call_pos;
    }
    return result;
}

/// New reference: `str(raw).strip()`.
PyObject *
normalise(PyObject *raw, int *pos) noexcept
{
    PyObject *text = str_of(raw);
    if (text == NULL) {
        *pos = str_call_pos;
        return NULL;
    }
    PyObject *result = stripped(text, pos);
    Py_DECREF(text);
    return result;
}

/// A line of the file, normalised, as the steps below read it: the
/// characters [start, end) of the exact str `text` (the line object), or
/// the bytes [start, end) of the UTF-8 `utf8` (the file's bytes), or a line
/// that is no exact str (both null), whose steps are the general ones. The
/// line object, when one is made from bytes, is the walk's current line.
struct Span {
    PyObject *text;
    const char *utf8;
    Py_ssize_t start, end;

    /// True when the characters can be read directly.
    bool
    readable() const noexcept
    {
        return text != NULL || utf8 != NULL;
    }
    /// The first character; the line is not empty.
    Py_UCS4
    first() const noexcept
    {
        return utf8 != NULL ? (Py_UCS4)(unsigned char)utf8[start]
                            : PyUnicode_READ_CHAR(text, start);
    }
    /// Where '=' is first found in [from, end), or -1.
    Py_ssize_t
    find_eq(Py_ssize_t from) const noexcept
    {
        if (utf8 == NULL) {
            return PyUnicode_FindChar(text, '=', from, end, 1);
        }
        const char *found = (const char *)std::memchr(
            utf8 + from, '=', (std::size_t)(end - from));
        return found != NULL ? found - utf8 : -1;
    }
    /// New reference: the text of [a, b); null with an exception set.
    PyObject *
    piece(Py_ssize_t a, Py_ssize_t b) const noexcept
    {
        if (utf8 == NULL) {
            return PyUnicode_Substring(text, a, b);
        }
        return text_of_utf8(utf8 + a, b - a);
    }
};

// Before 3.13, how many lines a walk goes between two askings whether the
// signal handlers run code: an asking reads every signal's handler, which
// costs about as much as checking `re` for some twenty lines.
constexpr int handler_check_lines = 32;

/// What the reader holds while it walks the lines. The body releases it
/// after the file has been left, in the order of the fields.
struct Walk {
    PyThreadState *thread = nullptr;  // the running thread
    // The `re` resolved for the last comment test (not held) and whether
    // the shortcut held for it: the split of the same line reuses the
    // answer for the same object, as nothing runs between the two.
    PyObject *checked_re = nullptr;
    int direct = 0;
    // True while the shortcut of `re` held at its last check and no code of
    // a caller's can have run since: the lines that follow take it without
    // resolving `re` and checking it again, as long as no work waits.
    bool re_held = false;
    // Before 3.13, true while the signal check of a line is known to run
    // no code of a caller's (signal_handlers_run_no_code()), so that `re`
    // may stay held across lines; asked again every handler_check_lines
    // lines while it is not known, as the asking costs a few lines' checks.
    bool signals_quiet = false;
    int lines_to_signal_check = handler_check_lines;
    // The dictionary that a plain store of a line lands in, held while
    // `re_held`, and whether it is known to hold only exact str keys, so
    // that a store that adds a key to it runs no code of a caller's.
    PyObject *store = nullptr;
    bool store_str_keys = false;
    // How many keys the walk may still read to learn that, so that the
    // checks cost no more than a few steps per line in all.
    Py_ssize_t scan_budget = 8;
    // True while the recursion limit is out of reach of the calls of a
    // line (for a read of the file's bytes, checked once).
    bool in_headroom = false;
    PyObject *lines = nullptr;  // what readlines() gave, or
    PyObject *bytes = nullptr;  // the file's bytes, a list of chunks
    PyObject *iter = nullptr;  // only when `lines` is no exact list or tuple
    Py_ssize_t index = 0;      // otherwise, the next index
    PyObject *line = nullptr;  // the current line, normalised
    PyObject *pieces = nullptr;
    PyObject *key = nullptr;   // of the last setting line
    PyObject *value = nullptr;

    /// Code of a caller's may have run: `re`, its functions and the
    /// store's keys are checked anew.
    void
    code_may_have_run() noexcept
    {
        re_held = false;
        signals_quiet = false;
        store_str_keys = false;
        Py_CLEAR(store);
    }

    void
    release() noexcept
    {
        Py_CLEAR(store);
        Py_CLEAR(lines);
        Py_CLEAR(bytes);
        Py_CLEAR(iter);
        Py_CLEAR(line);
        Py_CLEAR(pieces);
        Py_CLEAR(key);
        Py_CLEAR(value);
    }
};

/// Borrowed: the object of the current line `s`, made from its bytes when
/// there is none yet; null with an exception set.
PyObject *
line_object(const Span &s, Walk &w) noexcept
{
    if (w.line == NULL) {
        w.line = s.piece(s.start, s.end);
    }
    return w.line;
}

/// re.search("^#", line) with `re` (stolen) on the line `s`, tested for
/// truth, as the general path of is_comment() runs it: 1, 0, or -1 on
/// failure.
int
search_comment(const Span &s, PyObject *re, Walk &w, Failure &f) noexcept
{
    recheck_monitoring();  // the calls run code of a caller's
    w.code_may_have_run();
    PyObject *line = line_object(s, w);
    if (line == NULL) {
        Py_DECREF(re);
        f.pos = strip_call_pos;  // where the line is made
        return -1;
    }
    PyObject *match = call_re(search_call, re, str_search,
                              str_comment_pattern, line, &f.pos);
    if (match == NULL) {
        return -1;
    }
    int comment = support::is_true(match);
    Py_DECREF(match);
    if (comment < 0) {
        f.pos = IMPL_POS;
    }
    return comment;
}

/// Whether the line `s` is a comment, as re.search("^#", line) with the
/// global `re` tells: 1, 0, or -1 on failure. While the shortcut holds,
/// the test is computed: "^#" finds a match exactly when the line begins
/// with '#'.
int
is_comment(const Span &s, Walk &w, Failure &f) noexcept
{
    if (w.re_held && s.readable() && !support::pending_work(w.thread)) {
        // Nothing ran since the guard held: `re` is the same object, as
        // standard as it was.
        PARAM_SHORTCUT_RAN(comment_test);
        w.direct = 1;
        return s.end > s.start && s.first() == '#';
    }
    w.re_held = false;
    PyObject *re = resolve_re(search_call, &f.pos);
    if (re == NULL) {
        return -1;
    }
    int direct = s.readable() ? re_shortcut_holds(re, w.thread) : 0;
    if (direct < 0) {
        Py_DECREF(re);
        f.pos = search_call.call;
        return -1;
    }
    w.checked_re = re;
    w.direct = direct;
    if (!direct) {
        return search_comment(s, re, w, f);
    }
    Py_DECREF(re);
    PARAM_SHORTCUT_RAN(comment_test);
    // Before 3.13 the signal check of the next line may run a handler
    // unseen, unless none of the handlers is code of a caller's: the guard
    // is otherwise asked at every line.
    w.re_held = support::attention_word_available || w.signals_quiet;
    return s.end > s.start && s.first() == '#';
}

/// Whether the line `s` is blank, as `line == ""` tells: 1, 0, or -1 on
/// failure.
int
is_blank(const Span &s, Walk &w, Failure &f) noexcept
{
    if (s.readable()) {
        return s.end == s.start;
    }
    // A line of another type than str compares by its own code.
    PyObject *equal = PyObject_RichCompare(w.line, str_empty, Py_EQ);
    int blank = equal == NULL ? -1 : support::is_true(equal);
    Py_XDECREF(equal);
    if (blank < 0) {
        f.pos = IMPL_POS;
    }
    return blank;
}

/// 1 when the line `s` holds a setting, 0 when it is a comment or blank
/// line, -1 on failure.
int
is_setting(const Span &s, Walk &w, Failure &f) noexcept
{
    f.line = 25;
    int comment = is_comment(s, w, f);
    if (comment != 0) {
        return comment < 0 ? -1 : 0;
    }
    f.line = 27;
    int blank = is_blank(s, w, f);
    return blank < 0 ? -1 : !blank;
}

/// The key and value of the setting line `s`, as re.split("=", line) and
/// the unpacking into two give them: the texts before and after its one
/// '='. New references in `*key` and `*value`, or -1 with the unpacking's
/// ValueError for any other count of '=', or -2 when the texts could not
/// be made.
int
split_directly(const Span &s, PyObject **key, PyObject **value) noexcept
{
    Py_ssize_t eq = s.find_eq(s.start);
    Py_ssize_t next = eq < 0 ? eq : s.find_eq(eq + 1);
    if (eq == -2 || next == -2) {
        return -2;
    }
    if (eq == -1 || next != -1) {
        return support::raise_unpack_error(eq == -1 ? 1 : 3);
    }
    *key = s.piece(s.start, eq);
    if (*key == NULL) {
        return -2;
    }
    *value = s.piece(eq + 1, s.end);
    if (*value == NULL) {
        Py_CLEAR(*key);
        return -2;
    }
    return 0;
}

/// New reference: the next line of the walk of `w.lines`. Null with no
/// error at the end, null with an error on failure.
PyObject *
next_line(Walk &w) noexcept
{
    if (w.iter == NULL) {
        // The length is read anew at each step: the list may change.
        if (w.index >= Py_SIZE(w.lines)) {
            return NULL;
        }
        PyObject *item = PyList_CheckExact(w.lines)
                             ? PyList_GET_ITEM(w.lines, w.index)
                             : PyTuple_GET_ITEM(w.lines, w.index);
        w.index++;
        Py_INCREF(item);
        return item;
    }
    PyObject *item = Py_TYPE(w.iter)->tp_iternext(w.iter);
    if (item == NULL) {
        support::end_of_iteration();  // another error stays pending
    }
    return item;
}

/// True when `w.store` is the dictionary that a plain store into `target`
/// lands in (the exact dict `target`, or the attribute dictionary of the
/// Parameter `target`) and it holds only exact str keys. Learns both when
/// they are not known yet, within the walk's budget; runs no code of a
/// caller's and leaves no error.
bool
store_known(PyObject *target, Walk &w) noexcept
{
    if (w.store_str_keys) {
        return true;
    }
    if (w.store == NULL) {
        if (PyDict_CheckExact(target)) {
            Py_INCREF(target);
            w.store = target;
        }
        else if (support::existing_instance_dict(target, &w.store) < 0) {
            PyErr_Clear();  // the store itself meets the failure again
            return false;
        }
        if (w.store == NULL || !PyDict_CheckExact(w.store)) {
            Py_CLEAR(w.store);
            return false;
        }
    }
    Py_ssize_t size = PyDict_GET_SIZE(w.store);
    if (size > w.scan_budget) {
        return false;
    }
    w.scan_budget -= size;
    w.store_str_keys = support::only_str_keys(w.store);
    return w.store_str_keys;
}

/// The shortcut of split_setting(): `w.key` and `w.value` are the texts
/// around the one '=' of the line `s`. 0, or -1 with an exception set and
/// `f` filled.
int
split_at_eq(const Span &s, Walk &w, Failure &f) noexcept
{
    PARAM_SHORTCUT_RAN(split);
    PyObject *key, *value;
    int split = split_directly(s, &key, &value);
    if (split == -2) {
        f.pos = split_call.call;  // where the pieces are made
        return -1;
    }
    Py_CLEAR(w.key);
    Py_CLEAR(w.value);
    if (split < 0) {
        f.pos = unpack_pos;
        return -1;
    }
    w.key = key;
    w.value = value;
    return 0;
}

/// The general path of split_setting(): re.split("=", line) with `re`
/// (stolen) on the line `s`, unpacked into `w.key` and `w.value`. 0, or -1
/// with an exception set and `f` filled.
int
split_by_re(const Span &s, PyObject *re, Walk &w, Failure &f) noexcept
{
    recheck_monitoring();
    w.code_may_have_run();
    PyObject *line = line_object(s, w);
    if (line == NULL) {
        Py_DECREF(re);
        f.pos = strip_call_pos;
        return -1;
    }
    w.pieces = call_re(split_call, re, str_split, str_eq, line, &f.pos);
    if (w.pieces == NULL) {
        return -1;
    }
    Py_CLEAR(w.key);
    Py_CLEAR(w.value);
    if (support::unpack_pair(w.pieces, &w.key, &w.value) < 0) {
        f.pos = unpack_pos;
        return -1;
    }
    Py_CLEAR(w.pieces);
    return 0;
}

/// Splits the setting line `s` into `w.key` and `w.value`, as
/// re.split("=", line) and the unpacking into two do. 0, or -1 with an
/// exception set and `f` filled.
int
split_setting(const Span &s, Walk &w, Failure &f) noexcept
{
    f.line = 29;
    // Held, `re` took the shortcut in the comment test of this line.
    if (!w.re_held) {
        PyObject *re = resolve_re(split_call, &f.pos);
        if (re == NULL) {
            return -1;
        }
        int direct = re == w.checked_re ? w.direct
                     : s.readable()     ? re_shortcut_holds(re, w.thread)
                                        : 0;
        if (direct < 0) {
            Py_DECREF(re);
            f.pos = split_call.call;
            return -1;
        }
        if (!direct) {
            return split_by_re(s, re, w, f);
        }
        Py_DECREF(re);
    }
    return split_at_eq(s, w, f);
}

/// The first step of a plain store of the pair into `target` whose
/// dictionary `w.store` holds only exact str keys. Where the store is the
/// dictionary's own, the key is added, or its value found, by one lookup
/// in the dictionary fetched once for the walk: 1 when that added it and
/// the store is done. Otherwise 0, with `*old` the value the store will
/// replace (held), or `*size_before` the dictionary's size before it.
int
add_to_known_store(PyObject *target, Walk &w, PyObject **old,
                   Py_ssize_t *size_before) noexcept
{
    if (!PyDict_CheckExact(target) && !w.in_headroom) {
        *size_before = PyDict_GET_SIZE(w.store);
        return 0;
    }
    PyObject *found = PyDict_SetDefault(w.store, w.key, w.value);
    if (found == w.value) {
        if (!PyDict_CheckExact(target)) {
            PARAM_SHORTCUT_RAN(class_slot);
        }
        return 1;
    }
    if (found == NULL) {
        PyErr_Clear();  // the store meets the failure again
    }
    else {
        Py_INCREF(found);
        *old = found;
    }
    return 0;
}

/// `target[w.key] = w.value`, by the shortest way that runs the same code.
/// 0, or -1 with an exception set.
int
assign_item(PyObject *target, bool plain, Walk &w) noexcept
{
    if (!plain) {
        int stored = PyObject_SetItem(target, w.key, w.value);
        recheck_monitoring();  // the target's own code ran
        return stored;
    }
    if (PyDict_CheckExact(target)) {
        return PyDict_SetItem(target, w.key, w.value);
    }
    if (w.in_headroom) {
        // The class's own item assignment, without the call that reaches
        // it: its recursion guard cannot fail here.
        PARAM_SHORTCUT_RAN(class_slot);
        return store_item(target, w.key, w.value);
    }
    return PyObject_SetItem(target, w.key, w.value);
}

/// Stores `w.value` under `w.key` in `target`, as `target[key] = value`
/// does. 0, or -1 with an exception set and `f` filled.
int
store_pair(PyObject *target, Walk &w, Failure &f) noexcept
{
    f.line = 30;
    w.scan_budget += 4;
    bool plain = stores_plainly(target);
    Py_ssize_t size_before = -1;
    PyObject *old = NULL;  // the value replaced, held across the store
    if (plain && w.re_held && store_known(target, w)
        && add_to_known_store(target, w, &old, &size_before)) {
        return 0;
    }
    // Whether the store only adds a key to a dictionary of exact str keys
    // or replaces an exact str, which runs no code of a caller's: a replaced
    // value may have a finalizer, and a key that is no str compares by its
    // own code.
    bool quiet = old != NULL && PyUnicode_CheckExact(old);
    int stored = assign_item(target, plain, w);
    Py_XDECREF(old);  // an exact str ends without running code
    if (!quiet
        && (size_before < 0 || PyDict_GET_SIZE(w.store) != size_before + 1)) {
        w.code_may_have_run();
    }
    if (stored < 0) {
        f.pos = IMPL_POS;
        return -1;
    }
    return 0;
}

/// Stores the setting of the line `s`, if it holds one, in `target`. 0, or
/// -1 with an exception set and `f` filled. The steps it calls are
/// compiled into it (flatten): this runs for every line, and the calls
/// between the steps cost some 2% of a read.
[[gnu::flatten]] int
store_setting(PyObject *target, const Span &s, Walk &w, Failure &f) noexcept
{
    int setting = is_setting(s, w, f);
    if (setting <= 0) {
        return setting;
    }
    if (split_setting(s, w, f) < 0) {
        return -1;
    }
    return store_pair(target, w, f);
}

/// Offers the interpreter lock to other threads during a long read, about
/// as often as the interpreter offers it while it runs a Python loop: the
/// shortcuts handle a line without running byte code, where the
/// interpreter would offer it.
void
offer_lock(support::LockTurns &turns, Py_ssize_t size, Walk &w) noexcept
{
    if (turns.due(size)) {
        Py_BEGIN_ALLOW_THREADS
        Py_END_ALLOW_THREADS
        recheck_monitoring();  // other threads ran
        w.code_may_have_run();
        turns.offered();
    }
}

/// Whether the signal check of the next line of the walk `w` may run code
/// of a caller's: from 3.13 only when the attention word shows work
/// waiting. Before, no public read tells whether a signal arrived; the
/// check may run code unless every handler is known to run none.
bool
signals_may_run(Walk &w) noexcept
{
    if (support::attention_word_available) {
        return support::pending_work(w.thread);
    }
    if (!w.signals_quiet && --w.lines_to_signal_check == 0) {
        w.lines_to_signal_check = handler_check_lines;
        w.signals_quiet = signal_handlers_run_no_code();
    }
    return !w.signals_quiet;
}

// How much deeper than the reader go the calls that reading the file's
// bytes spares (str() and strip() of a line), with room to spare.
constexpr int bytes_call_depth = 4;

/// Stores the setting of each line of the chunks `w.bytes` in `target`,
/// freeing each chunk once its lines are stored; for such a text str() and
/// strip() of a line run no code of a caller's. 0, or -1 with an exception
/// set and `f` naming the failure.
int
walk_bytes(PyObject *target, Walk &w, Failure &f) noexcept
{
    support::LockTurns turns(w.thread);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(w.bytes); i++) {
        PyObject *chunk = PyList_GET_ITEM(w.bytes, i);
        Utf8Lines lines(chunk);
        Span s{NULL, lines.data(), 0, 0};
        while (lines.next(&s.start, &s.end)) {
            f.line = 24;
            // The signal check that str() makes, whose handlers and calls
            // may run code of a caller's.
            if (signals_may_run(w)) {
                w.code_may_have_run();
            }
            if (check_line_signals(w.thread) < 0) {
                f.pos = str_call_pos;
                return -1;
            }
            PARAM_SHORTCUT_RAN(strip);
            Py_CLEAR(w.line);
            if (store_setting(target, s, w, f) < 0) {
                return -1;
            }
            offer_lock(turns, s.end - s.start, w);
        }
        // Nothing points into the chunk any more; a bytes object runs no
        // code when freed.
        Py_INCREF(Py_None);
        PyList_SET_ITEM(w.bytes, i, Py_None);
        Py_DECREF(chunk);
    }
    return 0;
}

/// Stores the setting of each line of `w.lines` in `target`. 0, or -1 with
/// an exception set and `f` naming the failure.
int
walk_lines(PyObject *target, Walk &w, Failure &f) noexcept
{
    f.line = 23;
    if (!PyList_CheckExact(w.lines) && !PyTuple_CheckExact(w.lines)) {
        w.iter = PyObject_GetIter(w.lines);
        if (w.iter == NULL) {
            f.pos = IMPL_POS;
            return -1;
        }
    }
    PyObject *raw;
    support::LockTurns turns(w.thread);
    while ((raw = next_line(w)) != NULL) {
        f.line = 24;
        // An iterator's step, and str() of what is no exact str, may have
        // run code of a caller's.
        bool plain = w.iter == NULL && PyUnicode_CheckExact(raw);
        if (!plain || signals_may_run(w)) {
            w.code_may_have_run();
        }
        Py_XSETREF(w.line, normalise(raw, &f.pos));
        Py_DECREF(raw);
        if (!plain) {
            caller_code_ran();
        }
        if (w.line == NULL) {
            return -1;
        }
        // A replaced strip() may give anything but a str.
        bool exact = PyUnicode_CheckExact(w.line);
        Span s{exact ? w.line : NULL, NULL, 0,
               exact ? PyUnicode_GET_LENGTH(w.line) : 0};
        if (store_setting(target, s, w, f) < 0) {
            return -1;
        }
        offer_lock(turns, s.end, w);
    }
    if (PyErr_Occurred()) {
        f.line = 23;
        f.pos = IMPL_POS;
        return -1;
    }
    return 0;
}

/// The body of the with-block: reads all lines of `file` and stores the
/// setting of each in `target`. 0, or -1 with an exception set and `f`
/// naming the failure.
int
read_settings(PyObject *target, PyObject *file, Walk &w, Failure &f) noexcept
{
    f.line = 22;
    PyObject *buffer = support::recursion_headroom(w.thread, bytes_call_depth)
                           ? file_bytes_serve(file, w.thread)
                           : NULL;
    if (buffer != NULL) {
        w.bytes = read_file_bytes(buffer, w.thread);
        Py_DECREF(buffer);
        // Signal handlers and pending calls may have run, and other threads.
        recheck_monitoring();
        if (w.bytes == NULL && PyErr_Occurred()) {
            f.pos = IMPL_POS;
            return -1;
        }
    }
    if (w.bytes != NULL) {
        PARAM_SHORTCUT_RAN(file_bytes);
        w.in_headroom = true;
        return walk_bytes(target, w, f);
    }
    w.lines = support::get_attr(file, str_readlines);
    if (w.lines == NULL) {
        f.pos = IMPL_POS;
        return -1;
    }
    w.lines = support::call_split(w.lines, NULL, 0);
    if (w.lines == NULL) {
        f.pos = IMPL_POS;
        return -1;
    }
    return walk_lines(target, w, f);
}

/// New reference: the file, as the `__enter__` of what `open(path, "r")`
/// returned gives it, with its bound `__exit__` in `*leave`. Null with an
/// exception set and `*pos` on failure; nothing is then held.
PyObject *
open_and_enter(PyObject *path, PyObject **leave, int *pos) noexcept
{
    PyObject *args = PyTuple_Pack(2, path, str_r);
    if (args == NULL) {
        *pos = IMPL_POS;
        return NULL;
    }
    PyObject *opened = support::call_tuple(builtin_open, args, NULL);
    Py_DECREF(args);
    if (opened == NULL) {
        *pos = IMPL_POS;
        return NULL;
    }
    *leave = support::lookup_special(opened, str___exit__);
    if (*leave == NULL) {
        *pos = IMPL_POS;
        Py_DECREF(opened);
        return NULL;
    }
    PyObject *file = NULL;
    PyObject *enter = support::lookup_special(opened, str___enter__);
    if (enter == NULL) {
        *pos = IMPL_POS;
    }
    else {
        file = support::call_split(enter, NULL, 0);  // consumes `enter`
        if (file == NULL) {
            *pos = IMPL_POS;
        }
    }
    Py_DECREF(opened);
    if (file == NULL) {
        Py_CLEAR(*leave);
    }
    return file;
}

/// Leaves the file through `leave` (its bound `__exit__`) after the
/// with-block failed with the pending exception, which `__exit__` sees as
/// the exception being handled. 1 when `__exit__` suppressed it; else -1
/// with an exception pending (the failure again, or one of leaving, which
/// replaces it) and `*pos` naming the point. The handled exception is
/// `recorded` again.
int
leave_after_failure(PyObject *leave, ExceptionTriple &recorded,
                    int *pos) noexcept
{
    ExceptionTriple failure;
    int suppressed = -1;
    support::take_up_pending(failure);
    // A failure whose entry could not be added may have no traceback.
    PyObject *args =
        PyTuple_Pack(3, failure.type, failure.value,
                     failure.traceback ? failure.traceback : Py_None);
    PyObject *result = NULL;
    if (args == NULL) {
        *pos = IMPL_POS;
    }
    else {
        result = support::call_tuple(leave, args, NULL);
        Py_DECREF(args);
        if (result == NULL) {
            *pos = IMPL_POS;
        }
    }
    if (result != NULL) {
        suppressed = support::is_true(result);
        Py_DECREF(result);
        if (suppressed < 0) {
            *pos = IMPL_POS;
        }
    }
    if (suppressed == 0) {
        support::restore_pending(failure);
        *pos = IMPL_POS;  // the failure leaves the with-statement
        suppressed = -1;
    }
    failure.clear();  // dropped when suppressed or replaced
    support::reset_handled(recorded);
    return suppressed;
}

/// read_param(self, path): reads the file at `path` into `self` by item
/// assignment. New reference to None.
PyObject *
read_param_body(PyObject *const *args) noexcept
{
    PyObject *self = args[0], *path = args[1];
    PyObject *leave = NULL, *file, *result, *outcome = NULL;
    ExceptionTriple recorded;
    Walk w;
    w.thread = PyThreadState_GetUnchecked();
    Failure f{0, 21};

    file = open_and_enter(path, &leave, &f.pos);
    if (file == NULL) {
        goto error;
    }
    recorded = support::save_handled();
    recheck_monitoring();  // asked once per read
    if (read_settings(self, file, w, f) < 0) {
        // The failure's own entry first: __exit__ sees it as the first
        // entry of the traceback.
        add_traceback(method_read_param.routine, f.pos, f.line);
        f.line = 21;
        if (leave_after_failure(leave, recorded, &f.pos) < 0) {
            goto error;
        }
        // __exit__ suppressed the failure: the read ends early, without one.
        Py_INCREF(Py_None);
        outcome = Py_None;
        goto done;
    }
    f.line = 21;
    recorded.clear();
    result = support::call_tuple(leave, exit_args, NULL);
    if (result == NULL) {
        f.pos = IMPL_POS;
        goto error;
    }
    Py_DECREF(result);
    Py_INCREF(Py_None);
    outcome = Py_None;
    goto done;

error:
    add_traceback(method_read_param.routine, f.pos, f.line);

done:
    Py_XDECREF(leave);
    Py_XDECREF(file);
    w.release();
    return outcome;
}

PyObject **const read_param_params[] = {&str_self, &str_path};
PyObject **const read_param_locals[] = {&str_f, &str_lines, &str_l, &str_key,
                                        &str_value, nullptr};
const int read_param_points[] = {
    IMPL_POS,  // wrong positional count, or `self` missing
    IMPL_POS,  // `path` missing
    IMPL_POS,  // keyword check
};

}  // namespace

PARAM_METHOD(read_param, 20, read_param_params, read_param_points,
             read_param_body, read_param_locals);

}  // namespace fernlake

PARAM_SOURCE_END;
