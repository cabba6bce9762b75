// The methods of the class Parameter: one record each, defined beside the
// method's body by PARAM_METHOD, and their list in the class's order. A
// record is the one place of a method's facts: module execution, its code
// object, its binding and its traceback entries all read it.
#ifndef FERNLAKE_PLUGINS_PARAMETER_METHODS_HPP
#define FERNLAKE_PLUGINS_PARAMETER_METHODS_HPP

#include <Python.h>

#include <cstddef>

#include "names.hpp"
#include "source_positions.hpp"
#include "support/method_record.hpp"

namespace fernlake {

/// The records of the class's methods, each defined beside its body, that
/// other files name.
extern support::MethodRecord method___init__;
extern support::MethodRecord method___getitem__;
extern support::MethodRecord method___setitem__;
extern support::MethodRecord method_read_param;

/// The bodies of __getitem__ and __setitem__, which the class's own slots
/// call directly too.
PyObject *getitem_body(PyObject *const *args) noexcept;
PyObject *setitem_body(PyObject *const *args) noexcept;

/// What __getitem__ does when the key is not stored: raises KeyError (the
/// class captured from the builtins at import) with the method's traceback
/// entry. Null.
PyObject *raise_missing_key() noexcept;

/// What __setitem__ does with its arguments: 0, or -1 with an exception set
/// and the method's traceback entry added. A caller that knows the call of
/// the method to run no code of a caller's (see stores_plainly()) and the
/// recursion limit out of reach may call it in the call's place.
int store_item(PyObject *self, PyObject *key, PyObject *value) noexcept;

/// A list of method records.
struct MethodList {
    support::MethodRecord *const *items;
    std::size_t count;

    support::MethodRecord *const *
    begin() const noexcept
    {
        return items;
    }
    support::MethodRecord *const *
    end() const noexcept
    {
        return items + count;
    }
};

/// The class's methods in the order it defines them, the order of the
/// lines of their definitions, which is the order of its namespace;
/// defined in parameter.cpp.
extern const MethodList parameter_methods;

/// No local names besides the parameters.
inline PyObject **const no_locals[] = {nullptr};

/// How a method's result is annotated: not at all, or as None.
enum class Returns { unannotated, none };

/// The record of a method of Parameter. `params` are its parameter names,
/// `points` the implementation positions of its binding failures in the
/// order binding numbers them (a wrong count or missing `self`, then each
/// further missing parameter, then the keyword check), `locals` the names
/// of its other locals, `returns` the annotation of its result.
template <std::size_t N, std::size_t P>
support::MethodRecord
parameter_method(const char *name, const char *routine, PyObject **name_obj,
                 PyObject **qualname_obj, int line,
                 PyObject **const (&params)[N], const int (&points)[P],
                 support::MethodBody body,
                 PyObject **const *locals = no_locals,
                 Returns returns = Returns::unannotated) noexcept
{
    static_assert(N >= 1 && N <= support::max_params,
                  "self and at most max_params - 1 more parameters");
    static_assert(P == N + 1, "one failure point per binding failure");
    return support::MethodRecord{
        {name, (PyCFunction)(void (*)(void))support::bind_and_call,
         METH_VARARGS | METH_KEYWORDS, NULL},
        param_routine(routine),
        line,
        {name, params, (Py_ssize_t)N},
        locals,
        points,
        body,
        name_obj,
        qualname_obj,
        nullptr,
        returns == Returns::none,
    };
}

// Defines the record `method_<name>` of the method `name` of Parameter,
// whose definition is at the source line `line` (its binding failures and
// code object name it), the rest as parameter_method() takes it.
#define PARAM_METHOD(name, line, ...)                                        \
    support::MethodRecord method_##name = parameter_method(                  \
        #name, PARAM_MODULE_NAME ".Parameter." #name, &str_##name,           \
        &str_Parameter_##name, line, __VA_ARGS__)

}  // namespace fernlake

#endif
