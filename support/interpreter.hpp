// Every access of the support layer and the module that depends on the
// interpreter's version: fields of thread states, code objects, functions,
// texts, dictionaries and handled-exception items, type internals, the
// monitoring state and the interpreter's private functions. Each helper
// means the same on every supported version (3.9 to 3.15). Where a version
// has a public or documented-unstable interface, the code calls it by its
// own name, and the older versions get that name from this header, defined
// once, spelled as CPython spells it. What no public name gives is in the
// table of private accesses below. No other file reads these fields or
// calls private functions, and no other file tests PY_VERSION_HEX: each
// difference between versions has a name here that says what it is.
#ifndef FERNLAKE_SUPPORT_INTERPRETER_HPP
#define FERNLAKE_SUPPORT_INTERPRETER_HPP

#include <Python.h>
#include <frameobject.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

// ------------------------------------------------------------- versions
//
// The changes of the interpreter that the code follows, by the version
// that made them, each with the CPython issue, pull request or PEP it
// follows. Dropping a version deletes the names that are always true from
// then on, and the branches that test them.

// 3.10: a function keeps the builtins it was made with, read-only
// (bpo-42990); before, a call finds them through its globals.
#define FERNLAKE_FUNCTIONS_KEEP_BUILTINS (PY_VERSION_HEX >= 0x030A0000)
// 3.10: NameError carries the missing name as `name` (bpo-38530).
#define FERNLAKE_NAME_ERROR_HAS_NAME (PY_VERSION_HEX >= 0x030A0000)
// 3.10: the SystemError for a native function's null result without an
// exception ends "without setting an exception", not "an error".
#define FERNLAKE_NULL_RESULT_SAYS_EXCEPTION (PY_VERSION_HEX >= 0x030A0000)
// 3.10: a thread handling a recursion overflow shows it in
// `recursion_headroom`, no longer in `overflowed` (bpo-42500).
#define FERNLAKE_RECURSION_HEADROOM (PY_VERSION_HEX >= 0x030A0000)
// 3.10 and 3.11: whether a thread traces is one flag of its C frame
// (bpo-43760); 3.12 drops it for sys.monitoring.
#define FERNLAKE_TRACING_FLAG_IN_CFRAME                                      \
    (PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030C0000)
// 3.11: the thread counts its remaining recursion down, one counter for
// interpreted frames and native guards alike.
#define FERNLAKE_RECURSION_COUNTS_DOWN (PY_VERSION_HEX >= 0x030B0000)
// 3.11: _sre drops its unused CALL operation code; the codes after it
// are one lower.
#define FERNLAKE_SRE_WITHOUT_CALL (PY_VERSION_HEX >= 0x030B0000)
// 3.11: a handled-exception item holds the exception alone (bpo-45711).
#define FERNLAKE_HANDLED_IS_ONE_OBJECT (PY_VERSION_HEX >= 0x030B0000)
// 3.11: frame objects are made on demand, and one made by PyFrame_New
// links no caller (bpo-44590).
#define FERNLAKE_FRAMES_MADE_ON_DEMAND (PY_VERSION_HEX >= 0x030B0000)
// 3.11: code objects have an exception table (bpo-40222), and their local
// names are one table with the names' kinds.
#define FERNLAKE_CODE_HAS_EXCEPTION_TABLE (PY_VERSION_HEX >= 0x030B0000)
// 3.11: an instance may keep its attributes without a dictionary object
// until `__dict__` is asked for (bpo-45340).
#define FERNLAKE_LAZY_INSTANCE_DICT (PY_VERSION_HEX >= 0x030B0000)
// 3.12: the native recursion guard counts apart from interpreted frames,
// against a limit of its own (gh-91079).
#define FERNLAKE_NATIVE_RECURSION_APART (PY_VERSION_HEX >= 0x030C0000)
// 3.12: the error state is one exception object (gh-101578).
#define FERNLAKE_RAISED_IS_ONE_OBJECT (PY_VERSION_HEX >= 0x030C0000)
// 3.12: sys.monitoring (PEP 669, gh-103082); sys.settrace and
// sys.setprofile become two of its tools, seen in the thread's trace and
// profile functions.
#define FERNLAKE_HAS_MONITORING (PY_VERSION_HEX >= 0x030C0000)
// 3.12: a scheduled collection runs at the thread's next check of pending
// work, PyErr_CheckSignals() among them (gh-97922).
#define FERNLAKE_SIGNAL_CHECK_RUNS_COLLECTION (PY_VERSION_HEX >= 0x030C0000)
// 3.12: re's _compile looks a pattern up in a second, smaller cache
// (_cache2) before _cache.
#define FERNLAKE_RE_FRONT_CACHE (PY_VERSION_HEX >= 0x030C0000)
// 3.12: every text is ready: no deferred canonical form (PEP 623).
#define FERNLAKE_TEXTS_ALWAYS_READY (PY_VERSION_HEX >= 0x030C0000)
// 3.12: _io's newline decoder is a type of the garbage collector's, with a
// traverse slot (its types became heap types, one set per interpreter).
#define FERNLAKE_NEWLINE_DECODER_TRAVERSES (PY_VERSION_HEX >= 0x030C0000)
// 3.12, 3.13, 3.15: static types gain fields after tp_vectorcall:
// tp_watched (type watchers, gh-91051), tp_versions_used, _tp_iteritem.
#define FERNLAKE_TYPE_FIELDS_AFTER_VECTORCALL                                \
    (PY_VERSION_HEX >= 0x030F0000   ? 3                                      \
     : PY_VERSION_HEX >= 0x030D0000 ? 2                                      \
     : PY_VERSION_HEX >= 0x030C0000 ? 1                                      \
                                    : 0)
// 3.13: the thread's eval breaker, the word that asks for its attention,
// is in its own state (gh-112175); before, in the interpreter's.
#define FERNLAKE_ATTENTION_WORD_IN_THREAD (PY_VERSION_HEX >= 0x030D0000)
// 3.13: native code reads the events of sys.monitoring through the
// interface for raising events (PyMonitoring_EnterScope, gh-111997).
#define FERNLAKE_MONITORING_SCOPES (PY_VERSION_HEX >= 0x030D0000)
// 3.13: re.split's maxsplit and flags are keyword defaults, given
// positionally only with a DeprecationWarning (gh-56166).
#define FERNLAKE_RE_SPLIT_KEYWORD_ONLY (PY_VERSION_HEX >= 0x030D0000)
// 3.13: a type's version tag is 0 while invalid; before, a flag tells.
#define FERNLAKE_INVALID_TYPE_VERSION_IS_ZERO (PY_VERSION_HEX >= 0x030D0000)
// 3.14: a code object's monitoring data is opaque.
#define FERNLAKE_CODE_MONITORING_OPAQUE (PY_VERSION_HEX >= 0x030E0000)
// 3.14: the native recursion guard compares the machine stack's address
// with its end and counts nothing.
#define FERNLAKE_RECURSION_BY_STACK (PY_VERSION_HEX >= 0x030E0000)
// 3.14: dictionaries lose their version tag, deprecated since 3.12
// (PEP 509, gh-101193); dictionary watchers (gh-91052) replace it.
#define FERNLAKE_DICT_VERSION_TAG (PY_VERSION_HEX < 0x030E0000)

// ------------------------------------------------- public names, earlier
//
// Public names of later versions, for the versions before them: defined
// once here, as CPython defines them, so that call sites read as on the
// newest version.

#if PY_VERSION_HEX < 0x030A0000
// 3.10 (bpo-42262).
static inline PyObject *
Py_NewRef(PyObject *obj)
{
    Py_INCREF(obj);
    return obj;
}
#endif

#if PY_VERSION_HEX < 0x030B0000
// 3.11: the instructions as compiled, and the plain local names
// (gh-92154 and its follow-ups); before, fields of the code object that
// the interpreter never rewrites.
static inline PyObject *
PyCode_GetCode(PyCodeObject *co)
{
    return Py_NewRef(co->co_code);
}

static inline PyObject *
PyCode_GetVarnames(PyCodeObject *co)
{
    return Py_NewRef(co->co_varnames);
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// 3.13 (gh-108867): the running thread's state, null where there is none;
// the same function under its private name before.
static inline PyThreadState *
PyThreadState_GetUnchecked(void)
{
    return _PyThreadState_UncheckedGet();
}
#endif

#if PY_VERSION_HEX < 0x030F0000
// 3.15: the hash a text keeps once computed, -1 while it has none; a field
// of the text before.
static inline Py_hash_t
PyUnstable_Unicode_GET_CACHED_HASH(PyObject *op)
{
    return ((PyASCIIObject *)op)->hash;
}
#endif

// ----------------------------------------------------- private accesses
//
// What the code still reads of the interpreter's private state, because no
// public name gives it on the versions listed. The last column says what
// happens on a release that drops it: never a crash or a failed import.
// - "build stops": the field or the declaration is gone, and compiling
//   for that release fails with the compiler's message, so that the
//   access is adapted here before the release is supported. An access of
//   released versions only (up to 3.13) can no longer go.
// - "off": a shortcut finds it missing and turns off; the general path
//   runs.
//
// | what is read                            | versions  | if it is gone |
// |-----------------------------------------|-----------|---------------|
// | eval breaker: the bits of the lock      | 3.13-     | build stops * |
// |   wanted (0) and of pending work (1-5)  |           |               |
// | _Py_ReachedRecursionLimitWithMargin     | 3.14-     | off (weak)    |
// | code's _co_monitoring: null or not,     | 3.12-     | build stops   |
// |   and its per-tool bytes on 3.12, 3.13  |           |               |
// | thread's trace and profile functions;   | 3.9-      | build stops   |
// |   its use_tracing flag up to 3.11       |           |               |
// | thread's recursion counters, headroom   | 3.9-      | build stops   |
// | thread's asynchronous exception         | 3.9-      | build stops   |
// | thread's top handled-exception item     | 3.9-      | build stops   |
// | _PyType_Lookup                          | 3.9-      | build stops   |
// | _PyDict_GetItem_KnownHash (tuple keys)  | 3.9-      | build stops   |
// | dictionary's _ma_watcher_tag            | 3.14-     | build stops   |
// | type's tp_version_tag                   | 3.9-      | build stops   |
// | code's co_consts, co_names, co_name,    | 3.9-      | build stops   |
// |   co_exceptiontable, co_argcount,       |           |               |
// |   co_kwonlyargcount, co_flags,          |           |               |
// |   co_firstlineno                        |           |               |
// | method definition of a method           | 3.9-      | build stops   |
// |   descriptor (d_method) and of a        |           |               |
// |   built-in function (m_ml)              |           |               |
// | newline decoder: its layout up to 3.11, | 3.9-      | off: another  |
// |   the order its traverse visits from    |           | object fails  |
// |   3.12                                  |           | the class test|
// | frame object: its fixed bytes, bounded  | 3.9-      | nothing named |
// |   by its type's tp_basicsize            |           | can go        |
// | _PyThreadState_UncheckedGet (the shim   | 3.9-3.12  | released      |
// |   of PyThreadState_GetUnchecked)        |           |               |
// | _PyEval_GetSwitchInterval               | 3.9-3.12  | released      |
// | dictionary's ma_version_tag             | 3.9-3.13  | released      |
//
// * The eval breaker's bits are numbers, not names: a release that moves
//   them is caught by the tests that send a signal, queue a pending call,
//   set an asynchronous exception and wait for the lock during a read, and
//   is adapted here before it is supported; reading the word cannot fail.
// Functions that the C API documents though their names begin with an
// underscore (_PyBytes_Resize) count as public.

// From 3.14 the one way to ask for stack headroom without raising is a
// private function: 3.14 declares it among the headers for extensions,
// 3.15 only among its internal ones, and exports it for its own tests, so
// a build of the interpreter may lack it. It is referenced weakly: where it
// is missing its address is null, and recursion_headroom() then reports no
// headroom, which turns the shortcuts that ask off instead of failing the
// module's import.
#if FERNLAKE_RECURSION_BY_STACK
extern "C" int
_Py_ReachedRecursionLimitWithMargin(PyThreadState *tstate, int margin)
    __attribute__((weak));
#endif

namespace fernlake::support {

// ------------------------------------------------------ native functions

/// A native function of the METH_FASTCALL convention. The interpreter's own
/// name for it has a leading underscore before 3.13.
typedef PyObject *(*FastFunction)(PyObject *, PyObject *const *, Py_ssize_t);
/// One of METH_FASTCALL | METH_KEYWORDS.
typedef PyObject *(*FastKeywordsFunction)(PyObject *, PyObject *const *,
                                          Py_ssize_t, PyObject *);

/// Raises the SystemError with which the interpreter reports that the
/// native `callable` returned null without setting an exception; its last
/// word became "exception" in 3.10.
inline void
raise_null_result(PyObject *callable) noexcept
{
#if FERNLAKE_NULL_RESULT_SAYS_EXCEPTION
    PyErr_Format(PyExc_SystemError,
                 "%R returned NULL without setting an exception", callable);
#else
    PyErr_Format(PyExc_SystemError,
                 "%R returned NULL without setting an error", callable);
#endif
}

/// The method definition behind a method descriptor of a built-in type
/// (str.strip, say), or null for any other object. The definition is a
/// field of the descriptor on every version, with no public read.
inline PyMethodDef *
method_def_of(PyObject *descriptor) noexcept
{
    if (descriptor == NULL || Py_TYPE(descriptor) != &PyMethodDescr_Type) {
        return NULL;
    }
    return ((PyMethodDescrObject *)descriptor)->d_method;
}

/// The method definition behind a built-in function (`PyCFunction_Check`),
/// a field of the function object on every version, with no public read.
inline const PyMethodDef *
builtin_def_of(PyObject *function) noexcept
{
    return ((PyCFunctionObject *)function)->m_ml;
}

// --------------------------------------------------------------- modules

/// The module-definition slot that declares a module loadable into one
/// interpreter only, from 3.12 (PEP 684), where an interpreter that checks
/// extensions refuses such a module itself, before creating it; nothing
/// before. Goes into a slot table.
#ifdef Py_mod_multiple_interpreters
#define FERNLAKE_ONE_INTERPRETER_SLOT                                        \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define FERNLAKE_ONE_INTERPRETER_SLOT
#endif

// ---------------------------------------------------------- thread state

// The helpers below read the state of the running thread `t`, which a
// caller that asks often takes once from PyThreadState_GetUnchecked():
// PyThreadState_Get() would do, but ends the process where there is none
// instead of giving null.

/// True while an asynchronous exception (PyThreadState_SetAsyncExc) waits
/// to be raised in the thread at its next evaluation-loop check; a
/// shortcut that runs no byte code would delay it. No public read exists on
/// any version; the field is in the thread state of 3.9 to 3.15.
inline bool
async_exception_pending(PyThreadState *t) noexcept
{
    return t->async_exc != NULL;
}

/// True when the thread has a trace or profile function (sys.settrace,
/// sys.setprofile, or their C forms): a shortcut that skips interpreted
/// calls would hide their events. Tools of sys.monitoring are asked about
/// by monitoring_events_set().
inline bool
tracing_or_profiling(PyThreadState *t) noexcept
{
#if FERNLAKE_HAS_MONITORING
    return t->c_tracefunc != NULL || t->c_profilefunc != NULL;
#elif FERNLAKE_TRACING_FLAG_IN_CFRAME
    return t->cframe->use_tracing != 0;
#else
    return t->use_tracing != 0;
#endif
}

/// A word that changes whenever the interpreter wants the running thread's
/// attention at its next evaluation-loop check (a signal or an
/// asynchronous exception to handle, a collection to run, another thread
/// that waits for the lock) and whenever events of sys.monitoring are set
/// or cleared globally: the thread's "eval breaker", public in its thread
/// state from 3.13. Before 3.13 that word is in the interpreter's own
/// state, which extensions cannot read: there it is always 0, and callers
/// must look for each of these in other ways.
inline std::uintptr_t
attention_word(PyThreadState *t) noexcept
{
#if FERNLAKE_ATTENTION_WORD_IN_THREAD
    return t->eval_breaker;
#else
    (void)t;
    return 0;
#endif
}

/// True when attention_word() tells of what it covers on this version.
constexpr bool attention_word_available = FERNLAKE_ATTENTION_WORD_IN_THREAD;

/// True where PyErr_CheckSignals() runs nothing but the handlers of the
/// signals that arrived. 3.12 made it also run a collection that the
/// interpreter scheduled, whose finalizers are code of anybody's, and 3.13
/// the pending work of the attention word besides.
constexpr bool signal_check_runs_only_handlers =
    !FERNLAKE_SIGNAL_CHECK_RUNS_COLLECTION;

/// The bits of attention_word() that stand for work the thread's next
/// evaluation-loop check does: a signal to handle, calls added by
/// Py_AddPendingCall, an asynchronous exception, a scheduled collection,
/// and from 3.14 a script that sys.remote_exec sent, which
/// PyErr_CheckSignals() runs too (the interpreter's private
/// _PY_SIGNALS_PENDING_BIT to _PY_EVAL_PLEASE_STOP_BIT, bits 1 to 5 on
/// 3.13 to 3.15; on 3.13 the last stops the world of free-threaded builds
/// only).
constexpr std::uintptr_t pending_work_bits = 0x3e;

/// True while work waits for the thread's next evaluation-loop check,
/// where interpreted code that a shortcut skips would serve it. From 3.13
/// the attention word shows each kind; before, only the asynchronous
/// exception can be read, and the rest waits in the interpreter's own
/// state.
inline bool
pending_work(PyThreadState *t) noexcept
{
    return async_exception_pending(t)
           || (attention_word(t) & pending_work_bits) != 0;
}

/// The bit of attention_word() that stays set while another thread waits
/// for the interpreter lock, until the thread that holds it lets it go
/// (the interpreter's private _PY_GIL_DROP_REQUEST_BIT, bit 0 on 3.13 to
/// 3.15; no public name tells it).
constexpr std::uintptr_t lock_wanted_bit = 1;

/// True when `n` more nested calls, each counted by the interpreter's
/// recursion check, stay within the recursion limit, and the thread is
/// not handling a recursion overflow. 3.11 counts the frames of
/// interpreted code and the recursion guard of native calls on one
/// counter; 3.12 and 3.13 count them apart, against the recursion limit
/// and a fixed native limit; from 3.14 native calls are limited by the
/// room left on the machine stack, which only a private function reports
/// without raising (none where the interpreter lacks it).
inline bool
recursion_headroom(PyThreadState *t, int n) noexcept
{
#if FERNLAKE_RECURSION_BY_STACK
    return t->recursion_headroom == 0 && t->py_recursion_remaining >= n
           && _Py_ReachedRecursionLimitWithMargin != nullptr
           && !_Py_ReachedRecursionLimitWithMargin(t, n);
#elif FERNLAKE_NATIVE_RECURSION_APART
    return t->recursion_headroom == 0 && t->py_recursion_remaining >= n
           && t->c_recursion_remaining >= n;
#elif FERNLAKE_RECURSION_COUNTS_DOWN
    return t->recursion_headroom == 0 && t->recursion_remaining >= n;
#elif FERNLAKE_RECURSION_HEADROOM
    return t->recursion_headroom == 0
           && t->recursion_depth + n <= Py_GetRecursionLimit();
#else
    return !t->overflowed
           && t->recursion_depth + n <= Py_GetRecursionLimit();
#endif
}

/// The interpreter's recursion guard of one native call, entered and left
/// as Py_EnterRecursiveCall(where) and Py_LeaveRecursiveCall() do. On 3.11
/// to 3.13 that guard is a counter in the thread state, which the
/// interpreter's own inline form (internal) counts; the exported functions
/// look the thread state up at every call. Here the thread state is looked
/// up once, and the counter counted directly while the limit is not
/// reached; at the limit the exported function runs, so that the check and
/// its error are the interpreter's own. Before 3.11 the limit lives in the
/// interpreter state, and from 3.14 the guard compares stack addresses and
/// counts nothing: there the exported functions run.
class RecursionGuard {
  public:
    /// 0 once entered, or -1 with RecursionError set.
    int
    enter(const char *where) noexcept
    {
#if FERNLAKE_RECURSION_BY_STACK
#elif FERNLAKE_NATIVE_RECURSION_APART
        if (thread_->c_recursion_remaining > 0) {
            thread_->c_recursion_remaining--;
            return 0;
        }
#elif FERNLAKE_RECURSION_COUNTS_DOWN
        if (thread_->recursion_remaining > 0) {
            thread_->recursion_remaining--;
            return 0;
        }
#endif
        // Nonzero, not always -1, when the limit is exceeded.
        return Py_EnterRecursiveCall(where) != 0 ? -1 : 0;
    }

    /// Leaves the guard that enter() entered. From 3.14 there is nothing
    /// to undo: the guard only compared the stack's address.
    void
    leave() noexcept
    {
#if FERNLAKE_RECURSION_BY_STACK
#elif FERNLAKE_NATIVE_RECURSION_APART
        thread_->c_recursion_remaining++;
#elif FERNLAKE_RECURSION_COUNTS_DOWN
        thread_->recursion_remaining++;
#else
        Py_LeaveRecursiveCall();
#endif
    }

  private:
#if FERNLAKE_RECURSION_COUNTS_DOWN && !FERNLAKE_RECURSION_BY_STACK
    PyThreadState *thread_ = PyThreadState_GetUnchecked();
#endif
};

/// Tells a native loop that runs no byte code when to offer the
/// interpreter lock to other threads, about as often as the evaluation
/// loop would offer it: from 3.13 when attention_word() shows that the
/// interpreter wants the thread's attention (another thread waits for the
/// lock, among others); before, once the interval that
/// sys.setswitchinterval sets (read with the interpreter's own exported
/// function) has passed, looking at the clock after some work.
class LockTurns {
  public:
    explicit LockTurns(PyThreadState *t) noexcept : thread_(t)
    {
        offered();
    }

    /// True when the lock is to be offered now, after work of `size`.
    bool
    due(Py_ssize_t size) noexcept
    {
#if FERNLAKE_ATTENTION_WORD_IN_THREAD
        (void)size;
        // A request that came before the loop began, while the thread did
        // other work, is in the word from the start: the bit is read, not
        // only a change.
        std::uintptr_t word = attention_word(thread_);
        return (word & lock_wanted_bit) != 0 || word != seen_;
#else
        budget_ -= 1 + size / 256;
        if (budget_ > 0) {
            return false;
        }
        budget_ = work_per_look;
        return std::chrono::steady_clock::now() - last_
               >= std::chrono::microseconds(_PyEval_GetSwitchInterval());
#endif
    }

    /// Records that the lock was offered.
    void
    offered() noexcept
    {
#if FERNLAKE_ATTENTION_WORD_IN_THREAD
        seen_ = attention_word(thread_);
#else
        last_ = std::chrono::steady_clock::now();
#endif
    }

  private:
    PyThreadState *thread_;
#if FERNLAKE_ATTENTION_WORD_IN_THREAD
    std::uintptr_t seen_ = 0;
#else
    // Work between looks at the clock, in lines of up to 256 characters; a
    // look costs about as much as a short line.
    static constexpr Py_ssize_t work_per_look = 64;
    Py_ssize_t budget_ = work_per_look;
    std::chrono::steady_clock::time_point last_;
#endif
};

/// Serves what the evaluation loop serves at its checks and a native loop
/// that stands for interpreted code would otherwise delay: the handlers of
/// signals that arrived, then the calls queued by Py_AddPendingCall (both
/// run on the main thread only), in the loop's order. Public functions on
/// every version; from 3.13 the thread's attention word shows cheaply that
/// neither waits. 0, or -1 with the exception of a handler or call set.
inline int
serve_pending_work(PyThreadState *t) noexcept
{
#if FERNLAKE_ATTENTION_WORD_IN_THREAD
    if ((attention_word(t) & pending_work_bits) == 0) {
        return 0;
    }
#else
    (void)t;
#endif
    if (PyErr_CheckSignals() < 0) {
        return -1;
    }
    return Py_MakePendingCalls() < 0 ? -1 : 0;
}

// ------------------------------------------------------------ monitoring

/// Whether a tool of sys.monitoring (ids 0 to 5) could be told of an event
/// raised by running one of the code objects `codes[0..n)`: 1 when an
/// event is set for some tool, globally or locally on one of them; 0 when
/// none is (always before 3.12, which has no sys.monitoring); -1 with an
/// exception set. The interpreter's own sys.settrace and sys.setprofile,
/// which use ids 6 and 7, show in tracing_or_profiling() instead. Reads the
/// interpreter's state where a version makes it readable (the events set
/// globally from 3.13, those set on a code object on 3.12 and 3.13), and
/// otherwise asks sys.monitoring, whose functions must have been captured
/// by capture_monitoring() (when they could not be, the answer is 1).
int monitoring_events_set(PyObject *const *codes, int n) noexcept;

/// A mark of the events set on the code object `code` itself, cheap to
/// read: it changes when events are set on it for the first time (its
/// monitoring data is made then), and on 3.12 and 3.13, where that data
/// can be read, whenever its events change between none and some. 0 before
/// 3.12.
inline std::uintptr_t
local_monitoring_mark(PyObject *code) noexcept
{
#if FERNLAKE_CODE_MONITORING_OPAQUE
    return (std::uintptr_t)((PyCodeObject *)code)->_co_monitoring;
#elif FERNLAKE_HAS_MONITORING
    const _PyCoMonitoringData *data = ((PyCodeObject *)code)->_co_monitoring;
    if (data == NULL) {
        return 0;
    }
    // The per-tool bit sets of its local events, one byte an event.
    unsigned char any = 0;
    for (int e = 0; e < _PY_MONITORING_LOCAL_EVENTS; e++) {
        any |= data->local_monitors.tools[e];
    }
    return (std::uintptr_t)data + (any != 0);
#else
    (void)code;
    return 0;
#endif
}

/// True where attention_word() and local_monitoring_mark() together change
/// with every change of the events of sys.monitoring that concern a code
/// object: 3.13. 3.12 shows no change of the events set globally, and from
/// 3.14 the events set on a code object are opaque; before 3.12 there is
/// no sys.monitoring, and nothing to miss.
constexpr bool monitoring_changes_marked =
    !FERNLAKE_HAS_MONITORING
    || (FERNLAKE_ATTENTION_WORD_IN_THREAD && !FERNLAKE_CODE_MONITORING_OPAQUE);

/// Captures the functions of sys.monitoring that monitoring_events_set()
/// asks, once, at module execution, before a caller can replace them: only
/// built-in functions are taken. 0, or -1 with an exception set when
/// memory ran out.
int capture_monitoring() noexcept;

// ------------------------------------------------------------ exceptions

/// Raises NameError "name '...' is not defined" for the global `name`, as
/// the interpreter raises it for a name that code looks up: from 3.10 the
/// error also carries the name as its attribute `name` (which tracebacks
/// use to suggest a similar one); 3.9's NameError has no such attribute.
void raise_name_error(PyObject *name) noexcept;

/// New references in `*type`, `*value` and `*traceback` to what the top
/// item of the thread's handled-exception stack holds (each may be null),
/// as a with-statement saves it. From 3.11 the item holds only the value
/// (null or None when nothing is handled); the type and traceback are then
/// read from it. The public PyErr_GetHandledException reads the innermost
/// item that handles something, which inside a generator may be an outer
/// frame's: hence the direct read of the top item.
void get_top_handled(PyObject **type, PyObject **value,
                     PyObject **traceback) noexcept;

// The public PyErr_SetExcInfo stores in that same top item: what
// get_top_handled() took goes back through it (from 3.11 it keeps only
// the value, whose traceback is attached already).

/// The pending exception, moved out of the thread's error state while
/// other work runs, and put back or dropped afterwards. From 3.12 the error
/// state holds the exception alone, which is moved as it is; before, its
/// type, value and traceback are.
class SetAside {
  public:
    SetAside() noexcept
    {
#if FERNLAKE_RAISED_IS_ONE_OBJECT
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &traceback_);
#endif
    }
    SetAside(const SetAside &) = delete;
    SetAside &operator=(const SetAside &) = delete;
    /// Makes it the pending exception again, in place of any other.
    void
    put_back() noexcept
    {
#if FERNLAKE_RAISED_IS_ONE_OBJECT
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, exc_, traceback_);
        type_ = traceback_ = nullptr;
#endif
        exc_ = nullptr;
    }
    /// The error pending now (raised while this one was set aside) takes
    /// its place, with this one as its context, as an exception raised
    /// while another is handled is chained to it; the error state is left
    /// clear. There must be such an error.
    void replace_with_pending() noexcept;
    /// Drops it: another error is what propagates.
    ~SetAside()
    {
        Py_XDECREF(exc_);
#if !FERNLAKE_RAISED_IS_ONE_OBJECT
        Py_XDECREF(type_);
        Py_XDECREF(traceback_);
#endif
    }

  private:
    PyObject *exc_ = nullptr;
#if !FERNLAKE_RAISED_IS_ONE_OBJECT
    PyObject *type_ = nullptr, *traceback_ = nullptr;
#endif
};

// ----------------------------------------------------------- text files

/// Borrowed: the decoder that `newline_decoder`, exactly an
/// _io.IncrementalNewlineDecoder, wraps; null when it cannot be read.
/// From 3.12 the type is one of the garbage collector's, and its traverse
/// slot (public) visits its type, the decoder and its errors text in that
/// order. Before, the type has no traverse slot, and the decoder is the
/// first field after the object's head (of the interpreter's private
/// layout, the same on 3.9 to 3.11): read only while the type's size is
/// that layout's.
#if FERNLAKE_NEWLINE_DECODER_TRAVERSES
PyObject *wrapped_decoder(PyObject *newline_decoder) noexcept;
#else
inline PyObject *
wrapped_decoder(PyObject *newline_decoder) noexcept
{
    struct Layout {
        PyObject_HEAD
        PyObject *decoder;
        PyObject *errors;
        unsigned int flags;
    };
    if (Py_TYPE(newline_decoder)->tp_basicsize != sizeof(Layout)) {
        return NULL;
    }
    return ((Layout *)newline_decoder)->decoder;
}
#endif

// ---------------------------------------------------------- code objects

/// New reference: the code object that describes a method: `nparams`
/// positional parameters followed by the other locals in `varnames`, file
/// `filename`, name `name` (also its qualified name from 3.11), first line
/// `line`; null with an exception set. It is the interpreter's own empty
/// code object (PyCode_NewEmpty) with these parts replaced, as
/// `code.replace()` does: before 3.11 it has no instructions, which the
/// interpreter refuses to run (SystemError); from 3.11 the interpreter
/// runs a code object from its first instruction unchecked, and the body
/// of an empty one raises AssertionError at `line`.
PyObject *new_method_code(int nparams, PyObject *varnames,
                          PyObject *filename, PyObject *name,
                          int line) noexcept;

/// Borrowed: the name of a code object (a field of the code object on
/// every version; the public route is an attribute lookup).
inline PyObject *
code_name(PyObject *code) noexcept
{
    return ((PyCodeObject *)code)->co_name;
}

/// The first line of a code object. It is the line of a traceback entry
/// made with a frame of it, which runs no instruction: 3.9 and 3.10 start
/// a new frame at that line, and from 3.11 a frame's line comes from its
/// code's location table at its last instruction, which for a frame that
/// has run nothing is the first line.
inline int
code_first_line(PyObject *code) noexcept
{
    return ((PyCodeObject *)code)->co_firstlineno;
}

/// Borrowed: the parts of a code object that decide what running it does,
/// besides its instructions (PyCode_GetCode) and local names
/// (PyCode_GetVarnames): constants, names, and from 3.11 its exception
/// table (null before). Fields of the code object on every version, with
/// no public read.
struct CodeParts {
    PyObject *consts, *names, *exception_table;
    int argcount, kwonlyargcount, flags;
};
CodeParts code_parts(PyObject *code) noexcept;

/// True when a frame made by PyFrame_New links the frame running at that
/// moment as its `f_back` and holds it: before 3.11. From 3.11 such a frame
/// links none, and any number of traceback entries may share it.
constexpr bool new_frames_link_caller = !FERNLAKE_FRAMES_MADE_ON_DEMAND;

/// The bytes of what a caller can change in a frame object that runs
/// nothing: its fixed part but the reference count (the trace function and
/// its switches, the line, the locals once read, whether it was cleared).
/// The variable part is the value stack and the locals, which such a frame
/// neither has nor uses. Read raw: from 3.11 the layout of a frame is the
/// interpreter's own, and no public read tells whether a frame was changed.
/// A copy of these bytes taken when the frame was made, and equal to them
/// later, shows it unchanged.
inline const unsigned char *
frame_image(PyFrameObject *frame) noexcept
{
    return (const unsigned char *)frame + offsetof(PyObject, ob_type);
}

inline std::size_t
frame_image_size(PyFrameObject *frame) noexcept
{
    return (std::size_t)Py_TYPE(frame)->tp_basicsize
           - offsetof(PyObject, ob_type);
}

/// New reference: a frame of `code` with the globals `globals`, for a
/// traceback entry; null with an exception set. To be called with no
/// exception pending: from 3.12 PyFrame_New looks `__name__` up in the
/// globals and takes a pending exception for a failed lookup.
inline PyFrameObject *
new_frame(PyObject *code, PyObject *globals) noexcept
{
    return PyFrame_New(PyThreadState_GetUnchecked(), (PyCodeObject *)code,
                       globals, NULL);
}

// ------------------------------------------------------------- functions

/// Borrowed: the builtins a call of the interpreted function `func` uses,
/// or null when they are not a dictionary (with an exception set when
/// looking them up failed). From 3.10 those fixed when the function was
/// made, its read-only `__builtins__`, which stay the same for the same
/// function; before, those its globals name under `__builtins__` at the
/// call, a module standing for its dictionary.
PyObject *function_builtins(PyObject *func) noexcept;

// --------------------------------------------------------- dictionaries

/// Borrowed: the value of `key` in the dictionary `dict`, whose hash
/// `hash` the caller knows; null with no error when absent, null with an
/// error when the lookup failed. The private known-hash lookup is
/// exported on every version; it spares hashing a key that keeps no hash
/// (a tuple), where no public lookup takes a hash. A str keeps its hash,
/// which PyDict_GetItemWithError takes.
inline PyObject *
dict_get_known_hash(PyObject *dict, PyObject *key, Py_hash_t hash) noexcept
{
    return _PyDict_GetItem_KnownHash(dict, key, hash);
}

/// A stamp of the state of the dictionary `dict`: it differs from every
/// earlier stamp of the same dictionary once the dictionary has changed,
/// and is never 0 for a dictionary that can be stamped; 0 means that no
/// stamp can be given, and the caller must take the dictionary as changed.
/// Callers only compare stamps for equality. Through 3.13 it is the
/// dictionary's version tag, which the interpreter changes at every
/// mutation. 3.14 dropped the tag: there a dictionary watcher (public from
/// 3.12) counts the changes of the dictionaries asked about, all on one
/// count. The interpreter tells the watcher of a change after it has found
/// the key, before it stores, with no code run in between, so no caller
/// can read an old state under a new stamp. An interpreter has 8 watcher
/// ids, shared with other extensions: without a free one, or for more
/// dictionaries than the watcher keeps, the stamp is 0. Another extension
/// may stop the watching of a dictionary with the watcher's id: such a
/// dictionary is watched anew when next stamped, under a new stamp.
#if !FERNLAKE_DICT_VERSION_TAG
std::uint64_t dict_stamp(PyObject *dict) noexcept;
#else
inline std::uint64_t
dict_stamp(PyObject *dict) noexcept
{
    // Deprecated from 3.12, where dictionary watchers came; still kept up
    // to date through 3.13.
    _Py_COMP_DIAG_PUSH
    _Py_COMP_DIAG_IGNORE_DEPR_DECLS
    return ((PyDictObject *)dict)->ma_version_tag;
    _Py_COMP_DIAG_POP
}
#endif

/// A stamp of the dictionary `dict` that stays the same only while the
/// dictionary gains no key that is not an exact str: it changes at least
/// when such a key is added, when the dictionary is filled from another or
/// ends (another dictionary at its address gets another stamp), and may
/// change more often; 0 when none can be given. Callers only compare
/// stamps for equality. Through 3.13 it is dict_stamp(), the version tag,
/// which changes at every mutation. From 3.14 a dictionary watcher of its
/// own, apart from dict_stamp()'s, watches the one dictionary last
/// stamped, and counts only the events that may bring such keys: a store
/// of an exact str key does not change the stamp, so a dictionary filled
/// with settings keeps it. Without a free watcher id the stamp is 0.
#if !FERNLAKE_DICT_VERSION_TAG
std::uint64_t str_keys_stamp(PyObject *dict) noexcept;
#else
inline std::uint64_t
str_keys_stamp(PyObject *dict) noexcept
{
    return dict_stamp(dict);
}
#endif

// ----------------------------------------------------------------- types

/// The initial values of the fields that a static type object has after
/// tp_vectorcall, which differ by version: 3.12 adds tp_watched, 3.13
/// tp_versions_used, 3.15 _tp_iteritem. Ends a type's initializer.
#if FERNLAKE_TYPE_FIELDS_AFTER_VECTORCALL == 3
#define FERNLAKE_TYPE_LATER_FIELDS 0, 0, 0
#elif FERNLAKE_TYPE_FIELDS_AFTER_VECTORCALL == 2
#define FERNLAKE_TYPE_LATER_FIELDS 0, 0
#elif FERNLAKE_TYPE_FIELDS_AFTER_VECTORCALL == 1
#define FERNLAKE_TYPE_LATER_FIELDS 0
#else
#define FERNLAKE_TYPE_LATER_FIELDS
#endif

/// Borrowed: the attribute `name` as the type `type` and its bases define
/// it, found through the interpreter's method cache, without binding and
/// without running the metatype's attribute lookup; null with no error
/// when none defines it. No public function looks along the method
/// resolution order only (PyObject_GetAttr on the type binds descriptors
/// and consults the metatype); the private one is exported on every
/// version.
inline PyObject *
type_lookup(PyTypeObject *type, PyObject *name) noexcept
{
    return _PyType_Lookup(type, name);
}

/// The version tag of `type` while it is valid (the type and its bases are
/// unchanged since it was assigned), else 0. Before 3.13 validity is the
/// flag Py_TPFLAGS_VALID_VERSION_TAG; from 3.13 an invalid tag is 0.
inline unsigned int
valid_type_version(PyTypeObject *type) noexcept
{
#if FERNLAKE_INVALID_TYPE_VERSION_IS_ZERO
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)
               ? type->tp_version_tag
               : 0;
#endif
}

/// New reference, in `*dict`: the attribute dictionary of `obj`, an
/// instance of a class made by type(), or null when it has none. 0, or -1
/// with an exception set when the dictionary could not be made. Before
/// 3.11 the dictionary is at a fixed place in the instance, read directly.
/// From 3.11 such a class may keep its instances' attributes without a
/// dictionary object, which `obj.__dict__` makes on demand: the public
/// PyObject_GenericGetDict makes it the same way and reports a failure
/// (the private _PyObject_GetDictPtr drops a MemoryError of it, which
/// would read as no attributes at all).
inline int
existing_instance_dict(PyObject *obj, PyObject **dict) noexcept
{
#if FERNLAKE_LAZY_INSTANCE_DICT
    *dict = PyObject_GenericGetDict(obj, NULL);
    return *dict != NULL ? 0 : -1;
#else
    Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    *dict = offset > 0 ? *(PyObject **)((char *)obj + offset) : NULL;
    Py_XINCREF(*dict);
    return 0;
#endif
}

// ---------------------------------------------------------------- texts

/// Makes the canonical form of the text `text` (an exact str) ready for
/// direct reads. 0, or -1 with an exception set. From 3.12 every text is
/// always ready.
inline int
text_ready(PyObject *text) noexcept
{
#if FERNLAKE_TEXTS_ALWAYS_READY
    (void)text;
    return 0;
#else
    return PyUnicode_READY(text);
#endif
}

}  // namespace fernlake::support

#endif
