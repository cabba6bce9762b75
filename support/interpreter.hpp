// Every access of the support layer and the module that depends on the
// interpreter's version: fields of thread states, code objects, texts and
// handled-exception items, dictionary version tags, type internals and the
// interpreter's private functions. Each helper means the same on every
// supported version (3.9 to 3.13); where a version has a public or
// documented-unstable interface for it, that is what the helper uses, and
// where it uses a private one, its comment says why no public one serves.
// No other file reads these fields or calls private functions.
#ifndef FERNLAKE_SUPPORT_INTERPRETER_HPP
#define FERNLAKE_SUPPORT_INTERPRETER_HPP

#include <Python.h>
#include <frameobject.h>

#include <cstdint>

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

/// Where the standard module `re` keeps what re.search and re.split use:
/// the module that compiles its patterns, part of the package re from
/// 3.11; and the cache in which its _compile finds a compiled pattern
/// first: from 3.12 a second cache stands in front of _cache, and a hit
/// there changes neither.
#if PY_VERSION_HEX >= 0x030B0000
#define FERNLAKE_RE_COMPILER "re._compiler"
#else
#define FERNLAKE_RE_COMPILER "sre_compile"
#endif
#if PY_VERSION_HEX >= 0x030C0000
#define FERNLAKE_RE_FIRST_CACHE "_cache2"
#else
#define FERNLAKE_RE_FIRST_CACHE "_cache"
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

/// True while an asynchronous exception (PyThreadState_SetAsyncExc) waits
/// to be raised in this thread at its next evaluation-loop check; a
/// shortcut that runs no byte code would delay it. No public read exists on
/// any version; the field is in the thread state of 3.9 to 3.13.
inline bool
async_exception_pending() noexcept
{
    return current_thread()->async_exc != NULL;
}

/// True when the thread has a trace or profile function (sys.settrace,
/// sys.setprofile, or their C forms), or, from 3.12, a sys.monitoring tool
/// is registered that may have registered callbacks: a shortcut that skips
/// interpreted calls would hide their events. From 3.12 an audit hook,
/// added by capture_interpreter_functions(), watches for the registration
/// of callbacks. Never sets an error.
bool observed() noexcept;

/// True when `n` more nested calls, each counted by the interpreter's
/// recursion check, stay within the recursion limit, and the thread is
/// not handling a recursion overflow. 3.11 counts the frames of
/// interpreted code and the recursion guard of native calls on one
/// counter; 3.12 and 3.13 count them apart, against the recursion limit
/// and a fixed native limit: each must allow `n` more.
inline bool
recursion_headroom(int n) noexcept
{
    PyThreadState *t = current_thread();
#if PY_VERSION_HEX >= 0x030C0000
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
/// as Py_EnterRecursiveCall(where) and Py_LeaveRecursiveCall() do. From
/// 3.11 that guard is a counter in the thread state, which the
/// interpreter's own inline form (internal) counts; the exported functions
/// look the thread state up at every call. Here the thread state is looked
/// up once, and the counter counted directly while the limit is not
/// reached; at the limit the exported function runs, so that the check and
/// its error are the interpreter's own. Before 3.11 the limit lives in the
/// interpreter state, and the exported functions run.
class RecursionGuard {
  public:
    /// 0 once entered, or -1 with RecursionError set.
    int
    enter(const char *where) noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        if (thread_->c_recursion_remaining > 0) {
            thread_->c_recursion_remaining--;
            return 0;
        }
#elif PY_VERSION_HEX >= 0x030B0000
        if (thread_->recursion_remaining > 0) {
            thread_->recursion_remaining--;
            return 0;
        }
#endif
        // Nonzero, not always -1, when the limit is exceeded.
        return Py_EnterRecursiveCall(where) != 0 ? -1 : 0;
    }

    /// Leaves the guard that enter() entered.
    void
    leave() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        thread_->c_recursion_remaining++;
#elif PY_VERSION_HEX >= 0x030B0000
        thread_->recursion_remaining++;
#else
        Py_LeaveRecursiveCall();
#endif
    }

  private:
#if PY_VERSION_HEX >= 0x030B0000
    PyThreadState *thread_ = current_thread();
#endif
};

/// The interval at which the interpreter offers its lock to other threads
/// (sys.setswitchinterval), in microseconds. Before 3.13 the interpreter's
/// own read; 3.13 no longer exports it, so there the value comes from
/// sys.getswitchinterval as captured by capture_interpreter_functions(),
/// or the interpreter's default when that failed.
unsigned long switch_interval_us() noexcept;

/// Captures what the helpers above call through Python-level interfaces,
/// where a version has no native one (sys.getswitchinterval on 3.13,
/// sys.monitoring.get_tool from 3.12), at module execution, before any
/// caller can replace them. Never fails: what is missing is read as the
/// interpreter's default (no tool registered, a 5 ms interval).
void capture_interpreter_functions() noexcept;

// ------------------------------------------------------------ exceptions

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

// ---------------------------------------------------------- code objects

/// New reference: the code object that describes a method: `nparams`
/// positional parameters followed by the other locals in `varnames`, no
/// byte code, file `filename`, name and qualified name `name`, first line
/// `line`. PyCode_New takes 15 arguments before 3.11 and 17 from 3.11
/// (qualified name and exception table), and is PyUnstable_Code_New from
/// 3.12.
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

/// Borrowed: the names that a code object's instructions use (globals and
/// attributes), a tuple; a field of the code object on every version, with
/// no public read.
inline PyObject *
code_names(PyObject *code) noexcept
{
    return ((PyCodeObject *)code)->co_names;
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

/// True when a frame made by PyFrame_New links the frame running at that
/// moment as its `f_back` and holds it: before 3.11. From 3.11 such a frame
/// links none, and any number of traceback entries may share it.
constexpr bool new_frames_link_caller = PY_VERSION_HEX < 0x030B0000;

/// New reference: a frame of `code` with the globals `globals`, for a
/// traceback entry; null with an exception set. To be called with no
/// exception pending: from 3.12 PyFrame_New looks `__name__` up in the
/// globals and takes a pending exception for a failed lookup.
inline PyFrameObject *
new_frame(PyObject *code, PyObject *globals) noexcept
{
    return PyFrame_New(current_thread(), (PyCodeObject *)code, globals, NULL);
}

// --------------------------------------------------------- dictionaries

/// Borrowed: the value of `key` in the dictionary `dict`, whose hash
/// `hash` the caller knows; null with no error when absent, null with an
/// error when the lookup failed. The private known-hash lookup is
/// exported through 3.13; it spares hashing where no public lookup takes
/// a hash.
inline PyObject *
dict_get_known_hash(PyObject *dict, PyObject *key, Py_hash_t hash) noexcept
{
    return _PyDict_GetItem_KnownHash(dict, key, hash);
}

/// A stamp of the state of the dictionary `dict`: it differs from every
/// earlier stamp of the same dictionary once the dictionary has changed,
/// and is never 0, so a stamp of 0 stands for "never seen". Callers only
/// compare stamps for equality. It is the dictionary's version tag, which
/// the interpreter changes at every mutation through 3.13 (deprecated from
/// 3.12, where dictionary watchers came: a stamp kept by a watcher's
/// callback would need a watcher slot, of which an interpreter has 8, and
/// would change this function's body only).
inline std::uint64_t
dict_stamp(PyObject *dict) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return ((PyDictObject *)dict)->ma_version_tag;
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic pop
#endif
}

// ----------------------------------------------------------------- types

/// The initial values of the fields that a static type object has after
/// tp_vectorcall, which differ by version: 3.12 adds tp_watched, 3.13
/// tp_versions_used. Ends a type's initializer.
#if PY_VERSION_HEX >= 0x030D0000
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
/// and consults the metatype); the private one is exported through 3.13.
inline PyObject *
type_lookup(PyTypeObject *type, PyObject *name) noexcept
{
    return _PyType_Lookup(type, name);
}

/// The version tag of `type` while it is valid (the type and its bases are
/// unchanged since it was assigned), else 0. Before 3.13 validity is the
/// flag Py_TPFLAGS_VALID_VERSION_TAG; 3.13 no longer sets that flag and
/// marks an invalid tag as 0 instead.
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

/// Borrowed: the attribute dictionary of `obj` when it has one already,
/// else null; never an error, and it makes no dictionary. Before 3.11 the
/// dictionary is at the type's (positive or negative) dict offset. From
/// 3.11 a class made by type() manages its instances' dictionaries
/// (Py_TPFLAGS_MANAGED_DICT, a negative offset): the attributes may be
/// kept without a dictionary object, which is then made from them here,
/// as `obj.__dict__` would make it. _PyObject_GetDictPtr is the one read
/// that covers all layouts without making an empty dictionary; no public
/// function reads an existing instance dictionary.
inline PyObject *
instance_dict(PyObject *obj) noexcept
{
    Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    if (offset > 0) {
        // A fixed place in the instance, read directly.
        return *(PyObject **)((char *)obj + offset);
    }
    PyObject **slot = _PyObject_GetDictPtr(obj);
    return slot != NULL ? *slot : NULL;
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
