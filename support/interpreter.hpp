// Every access of the support layer and the module that depends on the
// interpreter's version: fields of thread states, code objects, functions,
// texts, dictionaries and handled-exception items, type internals, the
// monitoring state and the interpreter's private functions. Each helper
// means the same on every supported version (3.9 to 3.15); where a version
// has a public or documented-unstable interface for it, that is what the
// helper uses, and where it uses a private one, its comment says why no
// public one serves. No other file reads these fields or calls private
// functions.
#ifndef FERNLAKE_SUPPORT_INTERPRETER_HPP
#define FERNLAKE_SUPPORT_INTERPRETER_HPP

#include <Python.h>
#include <frameobject.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

// From 3.14 the one way to ask for stack headroom without raising is a
// private function: 3.14 declares it among the headers for extensions,
// 3.15 only among its internal ones, and exports it for its own tests, so
// a build of the interpreter may lack it. It is referenced weakly: where it
// is missing its address is null, and recursion_headroom() then reports no
// headroom, which turns the shortcuts that ask off instead of failing the
// module's import.
#if PY_VERSION_HEX >= 0x030E0000
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
#if PY_VERSION_HEX >= 0x030A0000
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
/// interpreter only, from 3.12, where an interpreter that checks extensions
/// refuses such a module itself, before creating it; nothing before 3.12.
/// Goes into a slot table.
#if PY_VERSION_HEX >= 0x030C0000
#define FERNLAKE_ONE_INTERPRETER_SLOT                                        \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define FERNLAKE_ONE_INTERPRETER_SLOT
#endif

// ---------------------------------------------------------- thread state

/// The thread state of the running thread, which holds the interpreter
/// lock. PyThreadState_Get() would do, but ends the process where there is
/// none instead of giving null; the unchecked read is public from 3.13.
inline PyThreadState *
current_thread() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// The helpers below read the state of the running thread `t`, which a
// caller that asks often takes once from current_thread().

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
#if PY_VERSION_HEX >= 0x030C0000
    return t->c_tracefunc != NULL || t->c_profilefunc != NULL;
#elif PY_VERSION_HEX >= 0x030A0000
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
#if PY_VERSION_HEX >= 0x030D0000
    return t->eval_breaker;
#else
    (void)t;
    return 0;
#endif
}

/// True when attention_word() tells of what it covers on this version.
constexpr bool attention_word_available = PY_VERSION_HEX >= 0x030D0000;

/// True where PyErr_CheckSignals() runs nothing but the handlers of the
/// signals that arrived. 3.12 made it also run a collection that the
/// interpreter scheduled, whose finalizers are code of anybody's, and 3.13
/// the pending work of the attention word besides.
constexpr bool signal_check_runs_only_handlers = PY_VERSION_HEX < 0x030C0000;

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
#if PY_VERSION_HEX >= 0x030E0000
    return t->recursion_headroom == 0 && t->py_recursion_remaining >= n
           && _Py_ReachedRecursionLimitWithMargin != nullptr
           && !_Py_ReachedRecursionLimitWithMargin(t, n);
#elif PY_VERSION_HEX >= 0x030C0000
    return t->recursion_headroom == 0 && t->py_recursion_remaining >= n
           && t->c_recursion_remaining >= n;
#elif PY_VERSION_HEX >= 0x030B0000
    return t->recursion_headroom == 0 && t->recursion_remaining >= n;
#elif PY_VERSION_HEX >= 0x030A0000
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
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
        if (thread_->c_recursion_remaining > 0) {
            thread_->c_recursion_remaining--;
            return 0;
        }
#elif PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
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
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
        thread_->c_recursion_remaining++;
#elif PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
        thread_->recursion_remaining++;
#elif PY_VERSION_HEX < 0x030B0000
        Py_LeaveRecursiveCall();
#endif
    }

  private:
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
    PyThreadState *thread_ = current_thread();
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
#if PY_VERSION_HEX >= 0x030D0000
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
#if PY_VERSION_HEX >= 0x030D0000
        seen_ = attention_word(thread_);
#else
        last_ = std::chrono::steady_clock::now();
#endif
    }

  private:
    PyThreadState *thread_;
#if PY_VERSION_HEX >= 0x030D0000
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
#if PY_VERSION_HEX >= 0x030D0000
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
#if PY_VERSION_HEX >= 0x030E0000
    return (std::uintptr_t)((PyCodeObject *)code)->_co_monitoring;
#elif PY_VERSION_HEX >= 0x030C0000
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
    PY_VERSION_HEX < 0x030C0000
    || (PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000);

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

/// Stores the triple (stolen) in the top item of the thread's
/// handled-exception stack, releasing what it held afterwards. From 3.11
/// only the value is stored (the traceback must be attached to it
/// already); the type and traceback are released.
void set_top_handled(PyObject *type, PyObject *value,
                     PyObject *traceback) noexcept;

/// The pending exception, moved out of the thread's error state while
/// other work runs, and put back or dropped afterwards. From 3.12 the error
/// state holds the exception alone, which is moved as it is; before, its
/// type, value and traceback are.
class SetAside {
  public:
    SetAside() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
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
#if PY_VERSION_HEX >= 0x030C0000
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
#if PY_VERSION_HEX < 0x030C0000
        Py_XDECREF(type_);
        Py_XDECREF(traceback_);
#endif
    }

  private:
    PyObject *exc_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
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
#if PY_VERSION_HEX >= 0x030C0000
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
/// `filename`, name and qualified name `name`, first line `line`. Before
/// 3.11 it has no instructions, which the interpreter refuses to run
/// (SystemError); from 3.11 the interpreter runs a code object from its
/// first instruction unchecked, so it gets the body of the interpreter's
/// own empty code objects, which raises AssertionError at `line`.
/// PyCode_New takes 15 arguments before 3.11 and 17 from 3.11 (qualified
/// name and exception table), and is PyUnstable_Code_New from 3.12.
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
/// besides its instructions: constants, names, local names, and from 3.11
/// its exception table (null before). Fields of the code object on every
/// version, with no public read.
struct CodeParts {
    PyObject *consts, *names, *varnames, *exception_table;
    int argcount, kwonlyargcount, flags;
};
CodeParts code_parts(PyObject *code) noexcept;

/// New reference: the instructions of a code object as bytes, as they were
/// compiled (from 3.11 the interpreter rewrites them as they run, and
/// PyCode_GetCode gives them back as compiled); null with an exception.
PyObject *code_instructions(PyObject *code) noexcept;

/// True when a frame made by PyFrame_New links the frame running at that
/// moment as its `f_back` and holds it: before 3.11. From 3.11 such a frame
/// links none, and any number of traceback entries may share it.
constexpr bool new_frames_link_caller = PY_VERSION_HEX < 0x030B0000;

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
    return PyFrame_New(current_thread(), (PyCodeObject *)code, globals, NULL);
}

// ------------------------------------------------------------- functions

/// Borrowed: the builtins a call of the interpreted function `func` uses,
/// or null when they are not a dictionary (with an exception set when
/// looking them up failed). From 3.10 those fixed when the function was
/// made (a field of the function, with no public read); before, those its
/// globals name under `__builtins__` at the call, a module standing for its
/// dictionary.
PyObject *function_builtins(PyObject *func) noexcept;

// --------------------------------------------------------- dictionaries

/// Borrowed: the value of `key` in the dictionary `dict`, whose hash
/// `hash` the caller knows; null with no error when absent, null with an
/// error when the lookup failed. The private known-hash lookup is
/// exported on every version; it spares hashing where no public lookup
/// takes a hash.
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
#if PY_VERSION_HEX >= 0x030E0000
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
#if PY_VERSION_HEX >= 0x030E0000
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
#if PY_VERSION_HEX >= 0x030F0000
#define FERNLAKE_TYPE_LATER_FIELDS 0, 0, 0
#elif PY_VERSION_HEX >= 0x030D0000
#define FERNLAKE_TYPE_LATER_FIELDS 0, 0
#elif PY_VERSION_HEX >= 0x030C0000
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
#if PY_VERSION_HEX >= 0x030D0000
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
#if PY_VERSION_HEX >= 0x030B0000
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
#if PY_VERSION_HEX >= 0x030C0000
    (void)text;
    return 0;
#else
    return PyUnicode_READY(text);
#endif
}

/// The hash that the exact str `text` keeps once computed, or -1 while it
/// has none. A field of the text on every version; the public
/// PyObject_Hash computes the hash when it is missing, where a caller may
/// only want to compare known ones.
inline Py_hash_t
text_hash(PyObject *text) noexcept
{
    return ((PyASCIIObject *)text)->hash;
}

}  // namespace fernlake::support

#endif
