// The module's shortcuts: steps whose outcome it computes directly while a
// cheap guard proves that nothing a caller could observe differs from the
// general path, which otherwise runs with all its effects. Every guard is
// declared here; in test builds each shortcut counts its runs, so that the
// tests can tell that it runs where its guard should hold. A build
// configured with FERNLAKE_SHORTCUTS=OFF captures nothing and adopts no
// slots, so that every guard sends its step down the general path: the
// tests run against both builds and compare them.
//
// Every guard keeps four rules, and the tests named below trip each:
//   R1  it runs no code of a caller's and leaves no error: it compares,
//       hashes and reads only objects of exact built-in types, holds what
//       it reads across anything that may free it, and a guard that
//       cannot decide turns its shortcut off with no error set;
//   R2  identity: what the shortcut skips is what import captured, the
//       same objects, exact types and type versions;
//   R3  nobody watching: it skips interpreted code only while no trace or
//       profile function and no sys.monitoring tool could see that code;
//   R4  pending work (signal handlers, pending calls, an exception sent to
//       the thread, a remote script) is served where the skipped code
//       would serve it, or the skipped code runs.
//
// class_slot    item access, assignment and construction call the bodies
//               from the class's own slots, while the class attribute is
//               still the module's function (the interpreter puts the
//               generic slot back when it is reassigned; subclasses get
//               generic slots). R1, R2: test_class_methods_reassigned_
//               and_restored, test_a_subclass_override_runs.
// own_store     self.__dict__ is read without the lookup, while self is
//               exactly a Parameter whose attribute lookup is generic. R2:
//               test_a_subclass_override_runs, the differential subclass
//               scenarios.
// own_read      __init__ runs read_param's body without a bound method,
//               while the same holds, the class still holds its own
//               read_param and no instance attribute hides it (a failing
//               lookup of it fails the call). R1, R2: tests/test_class_
//               guard.py.
// keys_test     `key in d.keys()` is tested on the dictionary, while it is
//               exactly a dict (a key's __eq__ runs as the keys view runs
//               it). R1, R2: test_keys_running_code_are_called_alike,
//               test_dictionary_replaced_during_the_membership_test.
// item_read     a read (`p[key]`) is one lookup with the key's known hash,
//               and a miss raises the body's KeyError inside the call's
//               guard, while self is exactly a Parameter looked up
//               generically, the key an exact str with its hash cached, the
//               attribute dictionary an exact dict known (by its stamp) to
//               hold only exact str keys, and the recursion limit out of
//               reach. R1, R2: test_reads_run_what_plain_python_runs
//               (tests/test_item_read.py), test_reads_near_the_recursion_
//               limit_fail_alike.
// strip         str.strip's own function runs on the line, while the line
//               is exactly a str. R2: test_lines_that_are_no_plain_str.
// file_bytes    the file's bytes stand for its readlines(), while the file
//               is exactly the text file of the interpreter's open(), in
//               UTF-8, fresh, over a buffer that can seek, and its decoder
//               is exactly the codec's class captured at import, unchanged
//               (tests/test_file_bytes.py). R1: test_bytes_that_are_no_
//               utf8_reset_no_decoder, test_descriptor_positioned_past_
//               the_start; R2: test_replaced_decoders_decode_the_lines; R3:
//               test_tools_see_the_decoder_run; R4: test_pending_work_
//               stops_the_read_in_readlines. The bytes themselves:
//               test_bytes_that_are_no_utf8_fail_as_readlines_fails,
//               test_each_line_end_ends_one_line, test_a_pipe_reads_as_
//               readlines, test_read_as_readlines_reads.
// comment_test  re.search("^#", line) and re.split("=", line) are
// split         computed, while re and everything its functions reach are
//               the objects import found standard, its cache holds the two
//               patterns, nobody watches and no work waits (cases of
//               tests/re_guard_cases.py, run by tests/test_re_guard.py).
//               Once it held, the lines that follow take it unchecked
//               until code of a caller's may have run, a signal check
//               included: from 3.13 while the attention word shows no
//               work, before 3.12 while no signal handler is code (R4:
//               the differential re_replaced_by_a_signal_handler_set_
//               during_the_read).
//               R1: pattern_text_frees_cache, bytes_key_in_cache (python
//               -b), large_default, surrogate_in_code, namespace_key_
//               hashing_as_re; R2: search_with_own_globals, regex_flag_is_
//               int, cached_object_no_pattern, sentinel_class_getattribute,
//               sentinel_class_answers_regex_flag, and tests/test_re_
//               standard.py (re changed before the import); R3: global_
//               events_of_every_tool, local_events_of_every_tool, events_
//               set_by_a_lines_generator; R4: local_events_set_by_a_signal_
//               handler.
//
// Every shortcut is also compared with the general path and the plain-
// Python class by tests/test_shortcuts.py and tests/test_model.py
// (generated files), and with a build without shortcuts by
// tests/test_differential.py (`make general`);
// test_every_shortcut_runs_on_this_interpreter checks that each runs.
#ifndef FERNLAKE_PLUGINS_SHORTCUTS_HPP
#define FERNLAKE_PLUGINS_SHORTCUTS_HPP

#include <Python.h>

#include <cstdint>

#include "support/interpreter.hpp"

// ------------------------------------------------------------- counting

// The shortcuts, in the order of their counters.
#define PARAM_SHORTCUTS(X)                                                   \
    X(class_slot) X(own_store) X(own_read) X(keys_test) X(strip)             \
    X(file_bytes) X(comment_test) X(split) X(item_read)

// Whether the shortcuts are compiled in; off, every guard answers that the
// general path must run.
#ifdef FERNLAKE_NO_SHORTCUTS
#define PARAM_SHORTCUTS_COMPILED 0
#else
#define PARAM_SHORTCUTS_COMPILED 1
#endif

#ifdef FERNLAKE_TEST_BUILD
extern "C" {
/// 1 when the shortcuts are compiled in, 0 in a build without them; the
/// tests read it through the module's file.
Py_EXPORTED_SYMBOL extern const int fernlake_param_shortcuts_compiled;
/// How often each shortcut has run in this process; the tests read these
/// through the module's file, with the names below.
struct FernlakeShortcutRuns {
#define PARAM_SHORTCUT_FIELD(name) std::uint64_t name;
    PARAM_SHORTCUTS(PARAM_SHORTCUT_FIELD)
#undef PARAM_SHORTCUT_FIELD
};
Py_EXPORTED_SYMBOL extern FernlakeShortcutRuns fernlake_param_shortcut_runs;
/// The names of the counters, in their order, each followed by a blank.
Py_EXPORTED_SYMBOL extern const char *const fernlake_param_shortcut_names;
}
/// Counts one run of the shortcut `name`.
#define PARAM_SHORTCUT_RAN(name) (fernlake_param_shortcut_runs.name++)
#else
#define PARAM_SHORTCUT_RAN(name) ((void)0)
#endif

namespace fernlake {

/// Captures at module execution, once `re` is imported, what the guards
/// compare with: the class's function type and the objects of str, open
/// and re (see each guard). What is not as a shortcut needs leaves it off;
/// a build without shortcuts captures nothing. 0, or -1 with an exception
/// set when memory ran out.
int capture_shortcuts() noexcept;

// ---------------------------------------------- class_slot, own_store, own_read

/// Takes over the class just made from its namespace (borrowed), without
/// holding it: watches it with a weak reference, so that its shortcuts end
/// with it, and gives it operation slots of its own for item access, item
/// assignment and construction, which call the bodies as the class's
/// functions would. 0, or -1 with an exception set, the class then left as
/// it was made. A build without shortcuts leaves every class as type()
/// made it.
int adopt_class(PyObject *cls) noexcept;

/// True when attribute lookup on `self` is what the class was made with:
/// `self` is exactly a Parameter, and its class still looks attributes up
/// generically. Then `self.__dict__` can give nothing but the instance
/// dictionary: the descriptor that type() gave the class cannot be
/// replaced.
bool looked_up_plainly(PyObject *self) noexcept;

/// Looks `read_param` up on `self` where the lookup can only find the
/// class's own method or an instance attribute that hides it: `self` is
/// looked up plainly and its class still holds the function it was made
/// with. 1 when that is where the lookup ends, with `*attr` a new reference
/// to the instance attribute or null for the method; 0 when the general
/// lookup has to run; -1 with an exception set.
int look_up_own_read_param(PyObject *self, PyObject **attr) noexcept;

/// True when an item assignment of a str key and value on `target` runs no
/// code of a caller's, but for comparisons with keys of its own that are no
/// str: `target` is an exact dict, or exactly a Parameter looked up plainly
/// whose item assignment is still the class's own.
bool stores_plainly(PyObject *target) noexcept;

/// The item reads and stores since an attribute dictionary was last
/// scanned for keys that are no exact str (see the item read of the class's
/// slot). They pay for the next scan: a dictionary that changed since is
/// scanned again only once they number an eighth of its size, so that
/// scans take a bounded share of the time of reads and stores however the
/// two alternate.
extern Py_ssize_t item_credit;

/// True when `key in dict.keys()` can be tested on the attribute
/// dictionary `dict` itself: it is exactly a dict, whose keys() view tests
/// membership as the dict does.
inline bool
keys_test_plainly(PyObject *dict) noexcept
{
    return PARAM_SHORTCUTS_COMPILED && PyDict_CheckExact(dict);
}

// ----------------------------------------------------------------- strip

/// str.strip's own function, as str (which cannot change) has it; null
/// where it is not of the argument-array convention.
extern support::FastFunction strip_function;

// ------------------------------------------------------------- watching

/// Whether no tool could see the interpreted code that a shortcut skips,
/// the code objects `codes[0..n)`, run by the thread `t`: no trace or
/// profile function is set on the thread, and no sys.monitoring tool has
/// events set globally or on one of them. 1 when nobody watches, 0 when a
/// tool may; -1 with an exception set when the monitoring state could not
/// be read.
int nobody_watching(PyThreadState *t, PyObject *const *codes, int n) noexcept;

// ------------------------------------------------------------ file_bytes

/// New reference: the buffer of `file` (what `__enter__` gave of what the
/// captured `open`, the interpreter's own, made of open(path, "r"), which
/// decodes strictly and translates every newline to '\n') when its bytes,
/// read by the running thread `t` from where the file stands, can stand for
/// its readlines(): it is exactly a text file of the captured type, over a
/// buffer of the captured type, in UTF-8, that has decoded nothing yet;
/// its decoder is exactly of the codec's class captured at import, whose
/// version and decode() are unchanged, with no attribute of its own that
/// hides one of the class's and with nothing held back; no tool could see
/// decode() run; no exception waits for the thread; and the buffer can
/// seek, so that bytes that are no UTF-8 can be left to readlines() from
/// where they began, for its own error. Null when they cannot; it runs no
/// code of a caller's and leaves no error set.
PyObject *file_bytes_serve(PyObject *file, PyThreadState *t) noexcept;

/// New reference: the bytes of `buffer` (from file_bytes_serve) from where
/// it stands to its end, read by the running thread `t`, when they are
/// UTF-8: a list of bytes objects, chunks of which each but the last ends
/// where a line ends, so that the lines of each can be read, and the chunk
/// freed, on their own. Signal handlers and pending calls are served after
/// every piece of the size that readlines() decodes at a time, as its
/// decoder's code would serve them. Null with no error when the bytes are
/// no UTF-8, or an exception now waits for the thread: `buffer` then stands
/// where it began, for readlines() to read; null with an exception set when
/// reading failed or a handler or call raised.
PyObject *read_file_bytes(PyObject *buffer, PyThreadState *t) noexcept;

/// The lines of UTF-8 bytes as readlines() of such a file gives them (the
/// pieces up to each "\n", "\r\n" or "\r"), each stripped as str.strip()
/// strips it: every character that str.isspace() counts as whitespace goes
/// at either end.
class Utf8Lines {
  public:
    explicit Utf8Lines(PyObject *bytes) noexcept;

    /// The next line, as the bytes [*start, *end) of its stripped text;
    /// false after the last.
    bool next(Py_ssize_t *start, Py_ssize_t *end) noexcept;

    const char *
    data() const noexcept
    {
        return data_;
    }

  private:
    const char *data_;
    Py_ssize_t size_;
    Py_ssize_t at_ = 0;  // where the next line begins
    bool has_cr_;        // a '\r' somewhere, which ends a line too
};

/// New reference: the str of the `n` bytes at `s`, which are known to be
/// well-formed UTF-8, as the interpreter's decoder makes it; null with an
/// exception set.
PyObject *text_of_utf8(const char *s, Py_ssize_t n) noexcept;

// ------------------------------------------------- comment_test and split

/// Whether the reader's calls re.search("^#", line) and re.split("=", line)
/// on an exact str, made by the running thread `t`, with `re` (borrowed)
/// the object the reader resolved for the call, would run re's standard
/// functions on compiled patterns in its cache, with nothing a caller could
/// observe but their result. Each object the calls reach is the one import
/// captured (re, its search, split and _compile with their code and
/// defaults, RegexFlag, isinstance, the builtins), with the same class at
/// the same type version where its class can change; every dictionary the
/// calls look a name up in (re's namespace, the builtins, the module's own
/// namespace, where `re` is found) has only exact str keys; re's cache
/// holds the two patterns, exact patterns equal to those _sre makes of
/// their compiled form, and its keys compare without running code; no
/// trace or profile function is set and no sys.monitoring tool could be
/// told of their events; no work waits for the thread's evaluation-loop
/// check (a signal, a pending call, an asynchronous exception); and the
/// recursion limit is not within reach of the calls. 1 when all that
/// holds, 0 when the general path must run. Runs no code of a caller's and
/// never fails: what it cannot decide leaves the shortcut off, with no
/// error set.
///
/// The dictionaries are checked in full only when one of them has changed
/// (their stamps); what no stamp covers (functions' code and defaults,
/// classes and their versions, the thread's state) is checked at every
/// call, and the monitoring state once per read, whenever the interpreter
/// shows that it may have changed, and after recheck_monitoring().
int re_shortcut_holds(PyObject *re, PyThreadState *t) noexcept;

/// Makes the next re_shortcut_holds() ask the monitoring state anew: at the
/// start of each read, and after any point of a read where code of a
/// caller's may have run (other threads, a general path).
void recheck_monitoring() noexcept;

/// Tells re_shortcut_holds() that code of a caller's ran in a line (an
/// iterator's step, str() of a line that is no exact str): it asks the
/// monitoring state anew where the interpreter does not show every change
/// of it.
void caller_code_ran() noexcept;

/// The signal check of a line where a shortcut skipped the call that made
/// it (str() of the line): PyErr_CheckSignals(). From 3.13, where the
/// attention word shows cheaply what waits, it runs as the evaluation loop
/// serves its checks, only when work waits, and then also the calls added
/// by Py_AddPendingCall (serve_pending_work()); a handler or call it runs
/// may change the monitoring state, which re_shortcut_holds() then asks
/// anew. Before 3.13 pending calls wait for the next check of the
/// interpreter's (no cheap public read shows them). 0, or -1 with the
/// exception of a handler or call set.
int check_line_signals(PyThreadState *t) noexcept;

/// True when the signal check of a line cannot run code of a caller's:
/// where PyErr_CheckSignals() runs only the handlers of the signals that
/// arrived (before 3.12), while every handler is none, an int (SIG_DFL,
/// SIG_IGN) or the signal module's default_int_handler, which only raises
/// KeyboardInterrupt. The handlers are read through the signal module's own
/// getsignal(), captured at import; runs no code of a caller's and leaves
/// no error. Only code can set another handler, so the answer stands until
/// code of a caller's may have run.
bool signal_handlers_run_no_code() noexcept;

}  // namespace fernlake

#endif
