#include "method_function.hpp"

#include <structmember.h>

#include "interpreter.hpp"

namespace fernlake::support {

PyTypeObject *method_function_type = nullptr;

namespace {

MethodFunctionObject *
as_mf(PyObject *op) noexcept
{
    return (MethodFunctionObject *)op;
}

/// New reference to `value`, or to None when it is null.
PyObject *
or_none(PyObject *value) noexcept
{
    if (value == NULL) {
        value = Py_None;
    }
    Py_INCREF(value);
    return value;
}

bool
no_keywords(PyObject *kw) noexcept
{
    return kw == NULL || PyDict_Size(kw) == 0;
}

// ---------------------------------------------------------------- calling

// The flags of a method record that choose its calling convention; the
// others (class, static, coexist) do not concern the call.
constexpr int CALL_CONVENTION = METH_VARARGS | METH_KEYWORDS | METH_NOARGS
                                | METH_O;

/// New reference: the method record's entry point called by its convention.
PyObject *
mf_dispatch(MethodFunctionObject *f, PyObject *self, PyObject *args,
            PyObject *kw) noexcept
{
    PyMethodDef *ml = f->func.m_ml;
    PyCFunction meth = ml->ml_meth;
    Py_ssize_t size;
    switch (ml->ml_flags & CALL_CONVENTION) {
    case METH_VARARGS:
        if (no_keywords(kw)) {
            return meth(self, args);
        }
        break;
    case METH_VARARGS | METH_KEYWORDS:
        return ((PyCFunctionWithKeywords)(void (*)(void))meth)(self, args,
                                                               kw);
    case METH_NOARGS:
        if (no_keywords(kw)) {
            size = PyTuple_GET_SIZE(args);
            if (size == 0) {
                return meth(self, NULL);
            }
            PyErr_Format(PyExc_TypeError,
                         "%.200s() takes no arguments (%zd given)",
                         ml->ml_name, size);
            return NULL;
        }
        break;
    case METH_O:
        if (no_keywords(kw)) {
            size = PyTuple_GET_SIZE(args);
            if (size == 1) {
                return meth(self, PyTuple_GET_ITEM(args, 0));
            }
            PyErr_Format(PyExc_TypeError,
                         "%.200s() takes exactly one argument (%zd given)",
                         ml->ml_name, size);
            return NULL;
        }
        break;
    default:
        PyErr_SetString(PyExc_SystemError,
                        "Bad call flags in mf_call. "
                        "METH_OLDARGS is no longer supported!");
        return NULL;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments",
                 ml->ml_name);
    return NULL;
}

PyObject *
mf_call(PyObject *op, PyObject *args, PyObject *kw) noexcept
{
    MethodFunctionObject *f = as_mf(op);
    if ((f->flags & (MF_CCLASS | MF_STATICMETHOD)) == MF_CCLASS) {
        // A method of an extension class: the instance is the first
        // positional argument and the rest are its arguments.
        Py_ssize_t argc = PyTuple_GET_SIZE(args);
        if (argc < 1) {
            PyErr_Format(PyExc_TypeError,
                         "unbound method %.200S() needs an argument",
                         f->qualname);
            return NULL;
        }
        PyObject *rest = PyTuple_GetSlice(args, 1, argc);
        if (rest == NULL) {
            return NULL;
        }
        PyObject *result =
            mf_dispatch(f, PyTuple_GET_ITEM(args, 0), rest, kw);
        Py_DECREF(rest);
        return result;
    }
    // The entry point receives the function object itself as `self`.
    return mf_dispatch(f, f->func.m_self, args, kw);
}

PyObject *
mf_descr_get(PyObject *func, PyObject *obj, PyObject *) noexcept
{
    // Any instance binds, None included; only a missing one (a lookup on
    // the class) gives the function itself.
    if (obj == NULL) {
        Py_INCREF(func);
        return func;
    }
    return PyMethod_New(func, obj);
}

PyObject *
mf_repr(PyObject *op) noexcept
{
    return PyUnicode_FromFormat("<korvelfunction %V at %p>",
                                as_mf(op)->qualname, "?", op);
}

PyObject *
mf_reduce(PyObject *op, PyObject *) noexcept
{
    // Pickled by reference: module and qualified name.
    return or_none(as_mf(op)->qualname);
}

// ------------------------------------------------------------- attributes

PyObject *
mf_get_doc(PyObject *op, void *) noexcept
{
    MethodFunctionObject *f = as_mf(op);
    if (f->doc == NULL) {
        if (f->func.m_ml->ml_doc == NULL) {
            Py_RETURN_NONE;
        }
        f->doc = PyUnicode_FromString(f->func.m_ml->ml_doc);
        if (f->doc == NULL) {
            return NULL;
        }
    }
    Py_INCREF(f->doc);
    return f->doc;
}

int
mf_set_doc(PyObject *op, PyObject *value, void *) noexcept
{
    if (value == NULL) {
        value = Py_None;
    }
    Py_INCREF(value);
    Py_XSETREF(as_mf(op)->doc, value);
    return 0;
}

PyObject *
mf_get_name(PyObject *op, void *) noexcept
{
    MethodFunctionObject *f = as_mf(op);
    if (f->name == NULL) {
        f->name = PyUnicode_InternFromString(f->func.m_ml->ml_name);
        if (f->name == NULL) {
            return NULL;
        }
    }
    Py_INCREF(f->name);
    return f->name;
}

int
mf_set_name(PyObject *op, PyObject *value, void *) noexcept
{
    if (value == NULL || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__name__ must be set to a string object");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(as_mf(op)->name, value);
    return 0;
}

PyObject *
mf_get_qualname(PyObject *op, void *) noexcept
{
    return or_none(as_mf(op)->qualname);
}

int
mf_set_qualname(PyObject *op, PyObject *value, void *) noexcept
{
    if (value == NULL || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__qualname__ must be set to a string object");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(as_mf(op)->qualname, value);
    return 0;
}

PyObject *
mf_get_self(PyObject *op, void *) noexcept
{
    return or_none(as_mf(op)->closure);
}

PyObject *
mf_get_dict(PyObject *op, void *) noexcept
{
    MethodFunctionObject *f = as_mf(op);
    if (f->dict == NULL) {
        f->dict = PyDict_New();
        if (f->dict == NULL) {
            return NULL;
        }
    }
    Py_INCREF(f->dict);
    return f->dict;
}

int
mf_set_dict(PyObject *op, PyObject *value, void *) noexcept
{
    if (value == NULL) {
        PyErr_SetString(PyExc_TypeError,
                        "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "setting function's dictionary to a non-dict");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(as_mf(op)->dict, value);
    return 0;
}

PyObject *
mf_get_globals(PyObject *op, void *) noexcept
{
    return or_none(as_mf(op)->globals);
}

PyObject *
mf_get_closure(PyObject *, void *) noexcept
{
    Py_RETURN_NONE;
}

PyObject *
mf_get_code(PyObject *op, void *) noexcept
{
    return or_none(as_mf(op)->code);
}

/// Fills the defaults tuple and the keyword defaults from the getter.
int
mf_init_defaults(MethodFunctionObject *f) noexcept
{
    PyObject *res = f->defaults_getter((PyObject *)f);
    if (res == NULL) {
        return -1;
    }
    assert(PyTuple_Check(res) && PyTuple_GET_SIZE(res) == 2);
    PyObject *positional = PyTuple_GET_ITEM(res, 0);
    PyObject *keywords = PyTuple_GET_ITEM(res, 1);
    Py_INCREF(positional);
    Py_XSETREF(f->defaults_tuple, positional);
    Py_INCREF(keywords);
    Py_XSETREF(f->defaults_kwdict, keywords);
    Py_DECREF(res);
    return 0;
}

/// New reference: a defaults field, filled by the getter when it is empty
/// and the function has one, else None.
PyObject *
mf_get_defaults_field(MethodFunctionObject *f, PyObject **field) noexcept
{
    if (*field == NULL && f->defaults_getter != NULL) {
        if (mf_init_defaults(f) < 0) {
            return NULL;
        }
    }
    return or_none(*field);
}

PyObject *
mf_get_defaults(PyObject *op, void *) noexcept
{
    return mf_get_defaults_field(as_mf(op), &as_mf(op)->defaults_tuple);
}

int
mf_set_defaults(PyObject *op, PyObject *value, void *) noexcept
{
    if (value == NULL) {
        value = Py_None;
    }
    else if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(as_mf(op)->defaults_tuple, value);
    return 0;
}

PyObject *
mf_get_kwdefaults(PyObject *op, void *) noexcept
{
    return mf_get_defaults_field(as_mf(op), &as_mf(op)->defaults_kwdict);
}

int
mf_set_kwdefaults(PyObject *op, PyObject *value, void *) noexcept
{
    if (value == NULL) {
        value = Py_None;
    }
    else if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(as_mf(op)->defaults_kwdict, value);
    return 0;
}

PyObject *
mf_get_annotations(PyObject *op, void *) noexcept
{
    MethodFunctionObject *f = as_mf(op);
    if (f->annotations == NULL) {
        f->annotations = PyDict_New();
        if (f->annotations == NULL) {
            return NULL;
        }
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}

int
mf_set_annotations_attr(PyObject *op, PyObject *value, void *) noexcept
{
    if (value == Py_None) {
        value = NULL;
    }
    else if (value != NULL && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_mf(op)->annotations, value);
    return 0;
}

PyGetSetDef mf_getset[] = {
    {"func_doc", mf_get_doc, mf_set_doc, 0, 0},
    {"__doc__", mf_get_doc, mf_set_doc, 0, 0},
    {"func_name", mf_get_name, mf_set_name, 0, 0},
    {"__name__", mf_get_name, mf_set_name, 0, 0},
    {"__qualname__", mf_get_qualname, mf_set_qualname, 0, 0},
    {"__self__", mf_get_self, 0, 0, 0},
    {"func_dict", mf_get_dict, mf_set_dict, 0, 0},
    {"__dict__", mf_get_dict, mf_set_dict, 0, 0},
    {"func_globals", mf_get_globals, 0, 0, 0},
    {"__globals__", mf_get_globals, 0, 0, 0},
    {"func_closure", mf_get_closure, 0, 0, 0},
    {"__closure__", mf_get_closure, 0, 0, 0},
    {"func_code", mf_get_code, 0, 0, 0},
    {"__code__", mf_get_code, 0, 0, 0},
    {"func_defaults", mf_get_defaults, mf_set_defaults, 0, 0},
    {"__defaults__", mf_get_defaults, mf_set_defaults, 0, 0},
    {"__kwdefaults__", mf_get_kwdefaults, mf_set_kwdefaults, 0, 0},
    {"__annotations__", mf_get_annotations, mf_set_annotations_attr, 0, 0},
    {NULL, NULL, NULL, NULL, NULL} /* Sentinel */
};

PyMemberDef mf_members[] = {
    {"__module__", T_OBJECT, offsetof(PyCFunctionObject, m_module), 0, 0},
    {NULL, 0, 0, 0, NULL} /* Sentinel */
};

PyMethodDef mf_methods[] = {
    {"__reduce__", (PyCFunction)mf_reduce, METH_VARARGS, 0},
    {NULL, NULL, 0, NULL} /* Sentinel */
};

// --------------------------------------------------- garbage collection

int
mf_clear(PyObject *op) noexcept
{
    MethodFunctionObject *f = as_mf(op);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->func.m_module);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->classobj);
    Py_CLEAR(f->defaults_tuple);
    Py_CLEAR(f->defaults_kwdict);
    Py_CLEAR(f->annotations);
    if (f->defaults != NULL) {
        PyObject **stored = (PyObject **)f->defaults;
        for (int i = 0; i < f->defaults_pyobjects; i++) {
            Py_XDECREF(stored[i]);
        }
        PyObject_Free(f->defaults);
        f->defaults = NULL;
    }
    return 0;
}

int
mf_traverse(PyObject *op, visitproc visit, void *arg) noexcept
{
    MethodFunctionObject *f = as_mf(op);
    Py_VISIT(f->closure);
    Py_VISIT(f->func.m_module);
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->classobj);
    Py_VISIT(f->defaults_tuple);
    Py_VISIT(f->defaults_kwdict);
    Py_VISIT(f->annotations);
    if (f->defaults != NULL) {
        PyObject **stored = (PyObject **)f->defaults;
        for (int i = 0; i < f->defaults_pyobjects; i++) {
            Py_VISIT(stored[i]);
        }
    }
    return 0;
}

void
mf_dealloc(PyObject *op) noexcept
{
    PyObject_GC_UnTrack(op);
    if (as_mf(op)->func.m_weakreflist != NULL) {
        PyObject_ClearWeakRefs(op);
    }
    mf_clear(op);
    PyObject_GC_Del(op);
}

PyTypeObject own_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "korvel_function_or_method",                 /* tp_name */
    sizeof(MethodFunctionObject),                /* tp_basicsize */
    0,                                           /* tp_itemsize */
    mf_dealloc,                                  /* tp_dealloc */
    0,                                           /* tp_vectorcall_offset */
    0,                                           /* tp_getattr */
    0,                                           /* tp_setattr */
    0,                                           /* tp_as_async */
    mf_repr,                                     /* tp_repr */
    0,                                           /* tp_as_number */
    0,                                           /* tp_as_sequence */
    0,                                           /* tp_as_mapping */
    0,                                           /* tp_hash */
    mf_call,                                     /* tp_call */
    0,                                           /* tp_str */
    PyObject_GenericGetAttr,                     /* tp_getattro */
    PyObject_GenericSetAttr,                     /* tp_setattro */
    0,                                           /* tp_as_buffer */
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,     /* tp_flags */
    0,                                           /* tp_doc */
    mf_traverse,                                 /* tp_traverse */
    mf_clear,                                    /* tp_clear */
    0,                                           /* tp_richcompare */
    offsetof(PyCFunctionObject, m_weakreflist),  /* tp_weaklistoffset */
    0,                                           /* tp_iter */
    0,                                           /* tp_iternext */
    mf_methods,                                  /* tp_methods */
    mf_members,                                  /* tp_members */
    mf_getset,                                   /* tp_getset */
    0,                                           /* tp_base */
    0,                                           /* tp_dict */
    mf_descr_get,                                /* tp_descr_get */
    0,                                           /* tp_descr_set */
    offsetof(MethodFunctionObject, dict),        /* tp_dictoffset */
    0,                                           /* tp_init */
    0,                                           /* tp_alloc */
    0,                                           /* tp_new */
    0,                                           /* tp_free */
    0,                                           /* tp_is_gc */
    0,                                           /* tp_bases */
    0,                                           /* tp_mro */
    0,                                           /* tp_cache */
    0,                                           /* tp_subclasses */
    0,                                           /* tp_weaklist */
    0,                                           /* tp_del */
    0,                                           /* tp_version_tag */
    0,                                           /* tp_finalize */
    0,                                           /* tp_vectorcall */
    FERNLAKE_TYPE_LATER_FIELDS
};

/// The registry shared by every module built on the same runtime: the
/// first of them enters its function type, and the others adopt it.
constexpr const char registry_name[] = "_korvel_0_29_32";

/// 0 when `found`, entered in the registry under our type's name, can
/// serve as our type; else -1 with TypeError set.
int
check_shared_type(PyObject *found) noexcept
{
    const char *name = own_type.tp_name;
    if (!PyType_Check(found)) {
        PyErr_Format(PyExc_TypeError,
                     "Shared Korvel type %.200s is not a type object", name);
        return -1;
    }
    PyTypeObject *type = (PyTypeObject *)found;
    if (type->tp_basicsize != own_type.tp_basicsize) {
        PyErr_Format(PyExc_TypeError,
                     "Shared Korvel type %.200s has the wrong size, try "
                     "recompiling",
                     name);
        return -1;
    }
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        // A peer module registers a static type; a class made in Python
        // has none of its slots, whatever its size.
        PyErr_Format(PyExc_TypeError,
                     "Shared Korvel type %.200s is not a static type", name);
        return -1;
    }
    return 0;
}

}  // namespace

int
obtain_method_function_type() noexcept
{
    PyObject *registry = PyImport_AddModule(registry_name);  // borrowed
    if (registry == NULL) {
        return -1;
    }
    Py_INCREF(registry);
    PyTypeObject *used = NULL;
    PyObject *found = PyObject_GetAttrString(registry, own_type.tp_name);
    if (found != NULL) {
        if (check_shared_type(found) == 0) {
            Py_INCREF(found);
            used = (PyTypeObject *)found;
        }
        Py_DECREF(found);
    }
    else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        // Our own type is readied only when no peer has entered one.
        if (PyType_Ready(&own_type) == 0
            && PyObject_SetAttrString(registry, own_type.tp_name,
                                      (PyObject *)&own_type) == 0) {
            Py_INCREF(&own_type);
            used = &own_type;
        }
    }
    Py_DECREF(registry);
    if (used == NULL) {
        return -1;
    }
    Py_XSETREF(method_function_type, used);
    return 0;
}

PyObject *
mf_new(PyMethodDef *ml, int flags, PyObject *qualname, PyObject *closure,
       PyObject *module, PyObject *globals, PyObject *code) noexcept
{
    MethodFunctionObject *f =
        PyObject_GC_New(MethodFunctionObject, method_function_type);
    if (f == NULL) {
        return NULL;
    }
    f->flags = flags;
    f->func.m_weakreflist = NULL;
    f->func.m_ml = ml;
    f->func.m_self = (PyObject *)f;  // not counted: it is the object itself
    f->func.vectorcall = NULL;
    Py_XINCREF(closure);
    f->closure = closure;
    Py_XINCREF(module);
    f->func.m_module = module;
    f->dict = NULL;
    f->name = NULL;
    Py_INCREF(qualname);
    f->qualname = qualname;
    f->doc = NULL;
    f->classobj = NULL;
    Py_INCREF(globals);
    f->globals = globals;
    Py_XINCREF(code);
    f->code = code;
    f->defaults_pyobjects = 0;
    f->defaults_size = 0;
    f->defaults = NULL;
    f->defaults_tuple = NULL;
    f->defaults_kwdict = NULL;
    f->defaults_getter = NULL;
    f->annotations = NULL;
    PyObject_GC_Track(f);
    return (PyObject *)f;
}

void
mf_set_annotations(PyObject *func, PyObject *annotations) noexcept
{
    MethodFunctionObject *f = as_mf(func);
    assert(f->annotations == NULL);
    f->annotations = annotations;
}

}  // namespace fernlake::support
