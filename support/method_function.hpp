// The native function type that carries the methods of the module's class:
// it calls a static method record and behaves to callers like an
// interpreted function (attributes, binding to instances, pickling, weak
// references, garbage collection).
//
// The type is shared between the modules built on the same runtime, through
// the registry module "_korvel_0_29_32" in the module table: the first
// module to load enters its type there under its name, and each later one
// uses that type instead of its own. So the functions of a later module
// are objects of the first module's type, and their calls run the first
// module's call operation (mf_call), which dispatches on the method record
// each function carries: every module must keep the instance layout below
// and the meaning of its fields, and read a record through the function's
// PyCFunctionObject part only. Before it adopts a registered type, a
// module checks that it is a type, that its instance size is the size of
// this layout, and that it is a static type (a class made in Python, even
// of the same size, has none of the type's slots).
#ifndef FERNLAKE_SUPPORT_METHOD_FUNCTION_HPP
#define FERNLAKE_SUPPORT_METHOD_FUNCTION_HPP

#include <Python.h>

#include <cstddef>

namespace fernlake::support {

/// Reads, for a function object, the stored defaults: a new 2-tuple
/// (positional defaults, keyword defaults) or null with an exception.
typedef PyObject *(*DefaultsGetter)(PyObject *);

/// The instance layout. Modules that share the type through the registry
/// rely on this field order and on the resulting size. Some fields serve
/// only the functions of such peers, which may be methods of an extension
/// class (MF_CCLASS) or have default values (stored, or given by a
/// getter), a closure or a class: none of this module's functions uses
/// them, but the type's call and attribute operations, which run for the
/// peers' functions too, must.
struct MethodFunctionObject {
    PyCFunctionObject func;  // method record, self, module, weak references
    PyObject *dict;
    PyObject *name;
    PyObject *qualname;
    PyObject *doc;
    PyObject *globals;
    PyObject *code;
    PyObject *closure;
    PyObject *classobj;
    void *defaults;             // leading entries are object references
    int defaults_pyobjects;     // how many of them
    std::size_t defaults_size;
    int flags;                  // MF_CCLASS, MF_STATICMETHOD
    PyObject *defaults_tuple;
    PyObject *defaults_kwdict;
    DefaultsGetter defaults_getter;
    PyObject *annotations;
};

/// Flag of a method of an extension class, which takes its instance as the
/// first positional argument; MF_STATICMETHOD cancels it.
constexpr int MF_STATICMETHOD = 0x01;
constexpr int MF_CCLASS = 0x04;

/// Obtains the type that the function objects are made of: the one a peer
/// module has entered in the shared registry, after checking that it is a
/// static type of our instance size, or else our own, readied and entered
/// there. Sets `method_function_type`. 0, or -1 with an exception set.
int obtain_method_function_type() noexcept;

/// The type in use, once obtain_method_function_type() has succeeded.
extern PyTypeObject *method_function_type;

inline bool
is_method_function(PyObject *op) noexcept
{
    return method_function_type != nullptr
           && Py_TYPE(op) == method_function_type;
}

/// New reference: a function object of the type in use, tracked by the
/// garbage collector; `qualname` and `globals` required, `closure`,
/// `module` and `code` may be null. All borrowed.
PyObject *mf_new(PyMethodDef *ml, int flags, PyObject *qualname,
                 PyObject *closure, PyObject *module, PyObject *globals,
                 PyObject *code) noexcept;

/// Stores `annotations` (stolen) as the annotations of a new function
/// object, whose annotations are still empty.
void mf_set_annotations(PyObject *func, PyObject *annotations) noexcept;

}  // namespace fernlake::support

#endif
