#include "names.hpp"

#include "parameter_methods.hpp"
#include "support/interpreter.hpp"
#include "support/lookup.hpp"
#include "support/process_state.hpp"

namespace fernlake {

#define PARAM_DEFINE_NAME(c_name, text, kind) PyObject *c_name = nullptr;
PARAM_NAME_TABLE(PARAM_DEFINE_NAME)
#undef PARAM_DEFINE_NAME

PyObject *builtin_KeyError = nullptr;
PyObject *builtin_open = nullptr;
PyObject *empty_tuple = nullptr;
PyObject *exit_args = nullptr;

namespace {

/// One entry of the name table.
struct NameEntry {
    PyObject **target;
    const char *text;
    Py_ssize_t size;       // bytes of `text`, its terminating NUL included
    const char *encoding;  // codec of `text`; none in this table
    char is_unicode;       // a text literal
    char is_str;           // a name, or the file name
    char intern;
};

// Flags (is_unicode, is_str, intern) of each kind of entry.
#define PARAM_KIND_NAME 0, 1, 1
#define PARAM_KIND_TEXT 1, 0, 0
#define PARAM_KIND_INTERNED_TEXT 1, 0, 1
#define PARAM_KIND_FILE 0, 1, 0
#define PARAM_NAME_ENTRY(c_name, text, kind) \
    {&c_name, text, sizeof(text), NULL, PARAM_KIND_##kind},

NameEntry name_table[] = {
    PARAM_NAME_TABLE(PARAM_NAME_ENTRY)
    {NULL, NULL, 0, NULL, 0, 0, 0},
};

#undef PARAM_NAME_ENTRY

/// New reference: the text that a name table entry describes (every entry
/// is a text).
PyObject *
make_name(const NameEntry &e) noexcept
{
    if (e.intern) {
        return PyUnicode_InternFromString(e.text);
    }
    // No entry names an encoding: every text is UTF-8.
    return PyUnicode_FromStringAndSize(e.text, e.size - 1);
}

/// Looks a builtin up once, as interpreted code would find it.
int
cache_builtin(PyObject *&target, PyObject *name) noexcept
{
    PyObject *value = support::get_attr(support::builtins_module, name);
    if (value == NULL) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return -1;
    }
    support::set_process_ref(target, value);
    return 0;
}

/// New reference: the code object of a method. It carries no byte code; it
/// describes the method's parameters, locals, file and first line.
PyObject *
make_code(const support::MethodRecord &m) noexcept
{
    const support::Signature &sig = m.signature;
    Py_ssize_t nlocals = 0;
    while (m.locals[nlocals] != NULL) {
        nlocals++;
    }
    PyObject *varnames = PyTuple_New(sig.count + nlocals);
    if (varnames == NULL) {
        return NULL;
    }
    for (Py_ssize_t i = 0; i < sig.count + nlocals; i++) {
        PyObject *name = i < sig.count ? *sig.params[i]
                                       : *m.locals[i - sig.count];
        Py_INCREF(name);
        PyTuple_SET_ITEM(varnames, i, name);
    }
    PyObject *code = support::new_method_code(
        (int)sig.count, varnames, str_source_file, *m.name, m.line);
    Py_DECREF(varnames);
    return code;
}

}  // namespace

int
build_names() noexcept
{
    for (NameEntry *e = name_table; e->target != NULL; e++) {
        PyObject *value = make_name(*e);
        if (value == NULL) {
            return -1;
        }
        support::set_process_ref(*e->target, value);
        if (PyObject_Hash(value) == -1) {
            return -1;
        }
    }
    return 0;
}

int
cache_builtins() noexcept
{
    if (cache_builtin(builtin_KeyError, str_KeyError) < 0) {
        return -1;
    }
    return cache_builtin(builtin_open, str_open);
}

int
build_empty_tuple() noexcept
{
    PyObject *tuple = PyTuple_New(0);
    if (tuple == NULL) {
        return -1;
    }
    support::set_process_ref(empty_tuple, tuple);
    return 0;
}

int
build_constants() noexcept
{
    PyObject *args = PyTuple_Pack(3, Py_None, Py_None, Py_None);
    if (args == NULL) {
        return -1;
    }
    support::set_process_ref(exit_args, args);
    for (support::MethodRecord *m : parameter_methods) {
        PyObject *code = make_code(*m);
        if (code == NULL) {
            return -1;
        }
        support::set_process_ref(m->code, code);
    }
    return 0;
}

}  // namespace fernlake
