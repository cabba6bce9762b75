#include "names.hpp"

#include "support/lookup.hpp"
#include "support/process.hpp"

namespace fernlake {

#define PARAM_DEFINE_NAME(c_name, text, kind) PyObject *c_name = nullptr;
PARAM_NAME_TABLE(PARAM_DEFINE_NAME)
#undef PARAM_DEFINE_NAME

PyObject *builtin_KeyError = nullptr;
PyObject *builtin_open = nullptr;
PyObject *empty_tuple = nullptr;
PyObject *empty_bytes = nullptr;
PyObject *exit_args = nullptr;
PyObject *code___init__ = nullptr;
PyObject *code___getitem__ = nullptr;
PyObject *code___setitem__ = nullptr;
PyObject *code_read_param = nullptr;

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

/// New reference: the object that a name table entry describes.
PyObject *
make_name(const NameEntry &e) noexcept
{
    if (!e.is_unicode && !e.is_str) {
        return PyBytes_FromStringAndSize(e.text, e.size - 1);
    }
    if (e.intern) {
        return PyUnicode_InternFromString(e.text);
    }
    if (e.encoding != NULL) {
        return PyUnicode_Decode(e.text, e.size - 1, e.encoding, NULL);
    }
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

/// What the code object of one method describes.
struct CodeShape {
    PyObject **target;
    PyObject **name;
    int argcount;
    int first_line;
    PyObject **varnames[8];  // parameters, then locals; null-terminated
};

const CodeShape code_shapes[] = {
    {&code___init__, &str___init__, 2, 8, {&str_self, &str_path}},
    {&code___getitem__, &str___getitem__, 2, 12, {&str_self, &str_key}},
    {&code___setitem__, &str___setitem__, 3, 17,
     {&str_self, &str_key, &str_value}},
    {&code_read_param, &str_read_param, 2, 20,
     {&str_self, &str_path, &str_f, &str_lines, &str_l, &str_key,
      &str_value}},
};

/// New reference: the code object of one method. It carries no byte code;
/// it describes the method's parameters, locals, file and first line.
PyObject *
make_code(const CodeShape &shape) noexcept
{
    int nlocals = 0;
    while (shape.varnames[nlocals] != NULL) {
        nlocals++;
    }
    PyObject *varnames = PyTuple_New(nlocals);
    if (varnames == NULL) {
        return NULL;
    }
    for (int i = 0; i < nlocals; i++) {
        PyObject *name = *shape.varnames[i];
        Py_INCREF(name);
        PyTuple_SET_ITEM(varnames, i, name);
    }
    PyObject *code = (PyObject *)PyCode_New(
        shape.argcount, 0, nlocals, 0, CO_OPTIMIZED | CO_NEWLOCALS,
        empty_bytes, empty_tuple, empty_tuple, varnames, empty_tuple,
        empty_tuple, str_source_file, *shape.name, shape.first_line,
        empty_bytes);
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
build_empties() noexcept
{
    PyObject *tuple = PyTuple_New(0);
    if (tuple == NULL) {
        return -1;
    }
    support::set_process_ref(empty_tuple, tuple);
    PyObject *bytes = PyBytes_FromStringAndSize(NULL, 0);
    if (bytes == NULL) {
        return -1;
    }
    support::set_process_ref(empty_bytes, bytes);
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
    for (const CodeShape &shape : code_shapes) {
        PyObject *code = make_code(shape);
        if (code == NULL) {
            return -1;
        }
        support::set_process_ref(*shape.target, code);
    }
    return 0;
}

}  // namespace fernlake
