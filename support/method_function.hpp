// The native function type that carries the methods of the module's class:
// it calls a static method record and behaves to callers like an
// interpreted function (attributes, binding to instances, pickling, weak
// references, garbage collection).
#ifndef FERNLAKE_SUPPORT_METHOD_FUNCTION_HPP
#define FERNLAKE_SUPPORT_METHOD_FUNCTION_HPP

#include <Python.h>

#include <cstddef>

namespace fernlake::support {

/// Reads, for a function object, the stored defaults: a new 2-tuple
/// (positional defaults, keyword defaults) or null with an exception.
typedef PyObject *(*DefaultsGetter)(PyObject *);

/// The instance layout. Modules that share the type through the registry
/// rely on this field order and on the resulting size.
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
