#include "interpreter.hpp"

namespace fernlake::support {

// ------------------------------------------------------------ monitoring

namespace {

#if FERNLAKE_HAS_MONITORING
// The tools of sys.monitoring that programs use (0 to 5), as a bit set of
// the kind the interpreter keeps per event; 6 and 7 are its own tracing
// and profiling.
constexpr unsigned tool_bits = 0x3f;
constexpr int tool_count = 6;
PyObject *tool_ids[tool_count] = {};
#endif

#if FERNLAKE_HAS_MONITORING && !FERNLAKE_MONITORING_SCOPES
// sys.monitoring.get_events: 3.12 has no native read of the events set
// globally.
PyObject *get_events = nullptr;
#endif

#if FERNLAKE_CODE_MONITORING_OPAQUE
// sys.monitoring.get_local_events: from 3.14 the monitoring data of a code
// object is opaque.
PyObject *get_local_events = nullptr;
#endif

// Where sys.monitoring is asked through its functions: for the events set
// globally on 3.12, for those set on a code object from 3.14.
#define FERNLAKE_ASKS_SYS_MONITORING                                        \
    (FERNLAKE_HAS_MONITORING && !FERNLAKE_MONITORING_SCOPES)                \
        || FERNLAKE_CODE_MONITORING_OPAQUE

#if FERNLAKE_ASKS_SYS_MONITORING
/// New reference: the built-in function `name` of the module `module`, or
/// null when it is missing or anything else; null with an exception set
/// when the lookup itself failed.
PyObject *
builtin_function(PyObject *module, const char *name) noexcept
{
    PyObject *dict = PyModule_CheckExact(module) ? PyModule_GetDict(module)
                                                 : NULL;
    PyObject *found =
        dict != NULL ? PyDict_GetItemString(dict, name) : NULL;  // borrowed
    if (found == NULL || !PyCFunction_CheckExact(found)
        || PyCFunction_GET_SELF(found) != module) {
        return NULL;
    }
    Py_INCREF(found);
    return found;
}

/// 1 when `func` (a captured function of sys.monitoring) answers a nonzero
/// bit set of tools' events for `args`; 0 when zero; -1 with an error.
int
asks_nonzero(PyObject *func, PyObject *const *args, size_t n) noexcept
{
    PyObject *result = PyObject_Vectorcall(func, args, n, NULL);
    if (result == NULL) {
        return -1;
    }
    long events = PyLong_AsLong(result);
    Py_DECREF(result);
    if (events == -1 && PyErr_Occurred()) {
        return -1;
    }
    return events != 0;
}
#endif

#if FERNLAKE_MONITORING_SCOPES
/// 1 when an event is set globally for a tool of sys.monitoring. The
/// interpreter reports the tools of each event, and its own version of
/// them, through the interface meant for native code that raises events.
// The events that tools set one by one (the others are set with them):
// PY_START to RERAISE.
constexpr int event_count = PY_MONITORING_EVENT_RERAISE + 1;

struct EventList {
    uint8_t ids[event_count];
    constexpr EventList() : ids()
    {
        for (int e = 0; e < event_count; e++) {
            ids[e] = (uint8_t)e;
        }
    }
};
constexpr EventList all_events;

int
global_events_set() noexcept
{
    // Kept between calls: the interpreter updates them only when its
    // version of the events differs from `version`.
    static PyMonitoringState states[event_count];
    static uint64_t version = 0;
    if (PyMonitoring_EnterScope(states, &version, all_events.ids,
                                event_count)
        < 0) {
        return -1;
    }
    PyMonitoring_ExitScope();
    for (const PyMonitoringState &s : states) {
        if (s.active & tool_bits) {
            return 1;
        }
    }
    return 0;
}
#elif FERNLAKE_HAS_MONITORING
int
global_events_set() noexcept
{
    if (get_events == nullptr) {
        return 1;  // unknown: the events may be set
    }
    for (PyObject *id : tool_ids) {
        int set = asks_nonzero(get_events, &id, 1);
        if (set != 0) {
            return set;
        }
    }
    return 0;
}
#endif

#if FERNLAKE_CODE_MONITORING_OPAQUE
/// 1 when an event is set for a tool on the code object `code` itself.
int
local_events_set(PyObject *code) noexcept
{
    if (((PyCodeObject *)code)->_co_monitoring == NULL) {
        return 0;  // none was ever set, nor any instrumented
    }
    if (get_local_events == nullptr) {
        return 1;
    }
    for (PyObject *id : tool_ids) {
        PyObject *args[2] = {id, code};
        int set = asks_nonzero(get_local_events, args, 2);
        if (set != 0) {
            return set;
        }
    }
    return 0;
}
#elif FERNLAKE_HAS_MONITORING
int
local_events_set(PyObject *code) noexcept
{
    // The per-tool bit sets of the code object's local events, in its
    // monitoring data (made when the first event is set or instrumented).
    const _PyCoMonitoringData *data = ((PyCodeObject *)code)->_co_monitoring;
    if (data == NULL) {
        return 0;
    }
    for (int e = 0; e < _PY_MONITORING_LOCAL_EVENTS; e++) {
        if (data->local_monitors.tools[e] & tool_bits) {
            return 1;
        }
    }
    return 0;
}
#endif

}  // namespace

int
monitoring_events_set(PyObject *const *codes, int n) noexcept
{
#if FERNLAKE_HAS_MONITORING
    int set = global_events_set();
    for (int i = 0; set == 0 && i < n; i++) {
        set = local_events_set(codes[i]);
    }
    return set;
#else
    (void)codes;
    (void)n;
    return 0;
#endif
}

int
capture_monitoring() noexcept
{
#if FERNLAKE_HAS_MONITORING
    if (tool_ids[0] != nullptr) {
        return 0;
    }
    for (int i = 0; i < tool_count; i++) {
        PyObject *id = PyLong_FromLong(i);
        if (id == NULL) {
            return -1;
        }
        tool_ids[i] = id;
    }
    PyObject *monitoring = PySys_GetObject("monitoring");  // borrowed
    if (monitoring == NULL) {
        return 0;  // a process without it: every answer is 1
    }
#if !FERNLAKE_MONITORING_SCOPES
    get_events = builtin_function(monitoring, "get_events");
#elif FERNLAKE_CODE_MONITORING_OPAQUE
    get_local_events = builtin_function(monitoring, "get_local_events");
#endif
    return PyErr_Occurred() ? -1 : 0;
#else
    return 0;
#endif
}

// ----------------------------------------------------------- text files

#if FERNLAKE_NEWLINE_DECODER_TRAVERSES
namespace {

/// What the traverse of a newline decoder visits after its type.
struct Visited {
    PyObject *type;
    PyObject *first = nullptr;
};

int
visit_first(PyObject *obj, void *arg) noexcept
{
    Visited *v = (Visited *)arg;
    if (obj == v->type) {
        return 0;
    }
    v->first = obj;
    return 1;  // stops the traverse
}

}  // namespace

PyObject *
wrapped_decoder(PyObject *newline_decoder) noexcept
{
    traverseproc traverse = Py_TYPE(newline_decoder)->tp_traverse;
    if (traverse == NULL) {
        return NULL;
    }
    Visited v{(PyObject *)Py_TYPE(newline_decoder)};
    traverse(newline_decoder, visit_first, &v);
    return v.first;
}
#endif

// ------------------------------------------------------------ exceptions

void
get_top_handled(PyObject **type, PyObject **value,
                PyObject **traceback) noexcept
{
    _PyErr_StackItem *item = PyThreadState_GetUnchecked()->exc_info;
#if FERNLAKE_HANDLED_IS_ONE_OBJECT
    *value = item->exc_value;
    Py_XINCREF(*value);
    if (*value != NULL && *value != Py_None) {
        *type = (PyObject *)Py_TYPE(*value);
        Py_INCREF(*type);
        *traceback = PyException_GetTraceback(*value);
    }
    else {
        *type = NULL;
        *traceback = NULL;
    }
#else
    *type = item->exc_type;
    *value = item->exc_value;
    *traceback = item->exc_traceback;
    Py_XINCREF(*type);
    Py_XINCREF(*value);
    Py_XINCREF(*traceback);
#endif
}

namespace {

/// New reference: the pending exception as one instance, its traceback
/// attached, taken out of the error state.
PyObject *
take_raised() noexcept
{
#if FERNLAKE_RAISED_IS_ONE_OBJECT
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != NULL && value != NULL) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

/// Makes `context` (stolen) the context of `exc`, as the interpreter
/// chains an exception raised while another is handled; first takes `exc`
/// out of the chain below `context`, so that no cycle forms. A cycle that
/// the chain holds already is left as it is: the walk stops once it comes
/// round (a second pointer, moving at half the pace, is met), having seen
/// every exception of the chain.
void
chain(PyObject *exc, PyObject *context) noexcept
{
    if (context == exc) {
        Py_DECREF(context);
        return;
    }
    PyObject *o = context;
    PyObject *slow = context;
    bool move_slow = false;
    PyObject *next;
    while ((next = PyException_GetContext(o)) != NULL) {
        Py_DECREF(next);  // still held by `o`
        if (next == exc) {
            PyException_SetContext(o, NULL);
            break;
        }
        o = next;
        if (o == slow) {
            break;  // round the cycle: `exc` is not in it
        }
        if (move_slow) {
            slow = PyException_GetContext(slow);
            Py_DECREF(slow);  // held by the exception before it
        }
        move_slow = !move_slow;
    }
    PyException_SetContext(exc, context);
}

}  // namespace

void
raise_name_error(PyObject *name) noexcept
{
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
#if FERNLAKE_NAME_ERROR_HAS_NAME
    // As the interpreter does, the name is set on the error itself; a
    // failure to set it is dropped, and the NameError propagates anyway.
    // Setting the attribute of an exact NameError runs no code.
    PyObject *exc = take_raised();
    if (Py_IS_TYPE(exc, (PyTypeObject *)PyExc_NameError)
        && PyObject_SetAttrString(exc, "name", name) < 0) {
        PyErr_Clear();
    }
#if FERNLAKE_RAISED_IS_ONE_OBJECT
    PyErr_SetRaisedException(exc);
#else
    PyObject *type = (PyObject *)Py_TYPE(exc);
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
#endif
}

void
SetAside::replace_with_pending() noexcept
{
#if FERNLAKE_RAISED_IS_ONE_OBJECT
    PyObject *raised = take_raised();
    assert(raised != NULL);
    if (exc_ != NULL) {
        chain(raised, exc_);
    }
    exc_ = raised;
#else
    PyObject *raised = take_raised();
    assert(raised != NULL);
    PyErr_Restore(type_, exc_, traceback_);
    PyObject *failure = take_raised();
    if (failure != NULL) {
        chain(raised, failure);
    }
    type_ = (PyObject *)Py_TYPE(raised);
    Py_INCREF(type_);
    exc_ = raised;
    traceback_ = PyException_GetTraceback(raised);
#endif
}

// ---------------------------------------------------------- code objects

PyObject *
new_method_code(int nparams, PyObject *varnames, PyObject *filename,
                PyObject *name, int line) noexcept
{
    // The interpreter's own empty code object at `line` gives the body,
    // its stack size, constants and location table; replace() gives it
    // the parameters and locals, through the constructor of this version.
    const char *file_text = PyUnicode_AsUTF8(filename);
    const char *name_text = file_text ? PyUnicode_AsUTF8(name) : NULL;
    PyObject *empty = name_text ? (PyObject *)PyCode_NewEmpty(
                                      file_text, name_text, line)
                                : NULL;
    PyObject *replace =
        empty ? PyObject_GetAttrString(empty, "replace") : NULL;
    PyObject *parts =
        replace ? Py_BuildValue(
                      "{s:i,s:i,s:i,s:O,s:O,s:O}", "co_argcount", nparams,
                      "co_nlocals", (int)PyTuple_GET_SIZE(varnames),
                      "co_flags", CO_OPTIMIZED | CO_NEWLOCALS, "co_varnames",
                      varnames, "co_filename", filename, "co_name", name)
                : NULL;
    PyObject *result =
        parts ? PyObject_VectorcallDict(replace, NULL, 0, parts) : NULL;
    Py_XDECREF(parts);
    Py_XDECREF(replace);
    Py_XDECREF(empty);
    return result;
}

CodeParts
code_parts(PyObject *code) noexcept
{
    PyCodeObject *c = (PyCodeObject *)code;
    CodeParts parts;
    parts.consts = c->co_consts;
    parts.names = c->co_names;
#if FERNLAKE_CODE_HAS_EXCEPTION_TABLE
    parts.exception_table = c->co_exceptiontable;
#else
    parts.exception_table = NULL;
#endif
    parts.argcount = c->co_argcount;
    parts.kwonlyargcount = c->co_kwonlyargcount;
    parts.flags = c->co_flags;
    return parts;
}

// ------------------------------------------------------------- functions

PyObject *
function_builtins(PyObject *func) noexcept
{
#if FERNLAKE_FUNCTIONS_KEEP_BUILTINS
    // Held by the function, which cannot replace them.
    PyObject *builtins = PyObject_GetAttrString(func, "__builtins__");
    Py_XDECREF(builtins);
#else
    static PyObject *name = PyUnicode_InternFromString("__builtins__");
    PyObject *globals = PyFunction_GET_GLOBALS(func);
    PyObject *builtins = name != NULL && PyDict_Check(globals)
                             ? PyDict_GetItemWithError(globals, name)
                             : NULL;
    if (builtins != NULL && PyModule_Check(builtins)) {
        builtins = PyModule_GetDict(builtins);
    }
#endif
    return builtins != NULL && PyDict_Check(builtins) ? builtins : NULL;
}

// --------------------------------------------------------- dictionaries

#if !FERNLAKE_DICT_VERSION_TAG

namespace {

// The watcher's id: -1 until it is asked for, -2 when none was free.
int watcher_id = -1;
// The dictionaries it watches, and the count of the changes of all of them.
constexpr int watched_capacity = 16;
PyObject *watched[watched_capacity];
int watched_count = 0;
std::uint64_t changes = 1;

int
on_dict_event(PyDict_WatchEvent event, PyObject *dict, PyObject *,
              PyObject *) noexcept
{
    changes++;
    if (event == PyDict_EVENT_DEALLOCATED) {
        // A dictionary made later at the same address is another one.
        for (int i = 0; i < watched_count; i++) {
            if (watched[i] == dict) {
                watched[i] = watched[--watched_count];
                break;
            }
        }
    }
    return 0;
}

/// True while the watcher `id` still watches `dict`, which it once watched.
/// Another extension may stop that with the watcher's id (PyDict_Unwatch
/// takes any id), and the interpreter then tells of no further change, nor
/// of the dictionary's end. No public read tells whether a dictionary is
/// watched; its watcher bits are bits 0 to 7 of its private field
/// `_ma_watcher_tag` (3.14, 3.15).
bool
still_watched(PyObject *dict, int id) noexcept
{
    return (((PyDictObject *)dict)->_ma_watcher_tag >> id) & 1;
}

/// True once `dict` is watched.
bool
watch(PyObject *dict) noexcept
{
    if (watcher_id == -1) {
        // The only failure is that no id is free: an error of this call
        // alone, which runs no code of a caller's.
        watcher_id = PyDict_AddWatcher(on_dict_event);
        if (watcher_id < 0) {
            PyErr_Clear();
            watcher_id = -2;
        }
    }
    if (watcher_id < 0 || watched_count == watched_capacity) {
        return false;
    }
    if (PyDict_Watch(watcher_id, dict) < 0) {
        // Another extension cleared the watcher: an error of this call
        // alone, as above.
        PyErr_Clear();
        return false;
    }
    watched[watched_count++] = dict;
    return true;
}

}  // namespace

std::uint64_t
dict_stamp(PyObject *dict) noexcept
{
    for (int i = 0; i < watched_count; i++) {
        if (watched[i] == dict) {
            if (still_watched(dict, watcher_id)) {
                return changes;
            }
            // Its watching was stopped: what changed since went untold (it
            // may even be another dictionary at the address of one that
            // ended untold). It is watched anew, and every stamp given
            // before is void.
            watched[i] = watched[--watched_count];
            changes++;
            break;
        }
    }
    return watch(dict) ? changes : 0;
}

namespace {

// The watcher of str_keys_stamp(): its id (-1 until it is asked for, -2
// when none was free), the one dictionary it watches (null when none), and
// the count of the events that may have brought a key that is no exact str.
int keys_watcher_id = -1;
PyObject *keys_watched = nullptr;
std::uint64_t keys_changes = 1;

int
on_keys_event(PyDict_WatchEvent event, PyObject *dict, PyObject *key,
              PyObject *) noexcept
{
    if (dict != keys_watched) {
        return 0;
    }
    if ((event == PyDict_EVENT_ADDED && PyUnicode_CheckExact(key))
        || event == PyDict_EVENT_MODIFIED
        || event == PyDict_EVENT_DELETED) {
        return 0;  // the keys that are no exact str stay as they were
    }
    keys_changes++;
    if (event == PyDict_EVENT_DEALLOCATED) {
        keys_watched = nullptr;
    }
    return 0;
}

}  // namespace

std::uint64_t
str_keys_stamp(PyObject *dict) noexcept
{
    if (dict == keys_watched && still_watched(dict, keys_watcher_id)) {
        return keys_changes;
    }
    if (keys_watcher_id == -1) {
        // The only failure is that no id is free, an error of this call
        // alone, which runs no code of a caller's.
        keys_watcher_id = PyDict_AddWatcher(on_keys_event);
        if (keys_watcher_id < 0) {
            PyErr_Clear();
            keys_watcher_id = -2;
        }
    }
    if (keys_watcher_id < 0) {
        return 0;
    }
    // One dictionary at a time: the one last stamped. Failures of these
    // calls (another extension cleared the watcher) are theirs alone.
    if (keys_watched != nullptr
        && PyDict_Unwatch(keys_watcher_id, keys_watched) < 0) {
        PyErr_Clear();
    }
    keys_watched = nullptr;
    keys_changes++;
    if (PyDict_Watch(keys_watcher_id, dict) < 0) {
        PyErr_Clear();
        return 0;
    }
    keys_watched = dict;
    return keys_changes;
}

#endif

}  // namespace fernlake::support
