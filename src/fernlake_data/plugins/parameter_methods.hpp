// The methods of the class Parameter: one record each, defined beside the
// method's body by PARAM_METHOD, which also enters it among the class's
// methods. A record is the one place of a method's facts: module execution,
// its code object, its binding and its traceback entries all read it.
#ifndef FERNLAKE_PLUGINS_PARAMETER_METHODS_HPP
#define FERNLAKE_PLUGINS_PARAMETER_METHODS_HPP

#include <Python.h>

#include <cstddef>

#include "names.hpp"
#include "source_positions.hpp"
#include "support/method_record.hpp"

namespace fernlake {

/// The most methods the class can have.
constexpr std::size_t max_methods = 8;

/// The records entered so far, in the order their files were loaded.
inline support::MethodRecord *entered_methods[max_methods] = {};
inline std::size_t entered_count = 0;

/// Enters a record among the methods of the class, as the module's file is
/// loaded (before the interpreter can import it).
struct EnteredMethod {
    explicit EnteredMethod(support::MethodRecord &m) noexcept
    {
        assert(entered_count < max_methods);
        if (entered_count < max_methods) {
            entered_methods[entered_count++] = &m;
        }
    }
};

/// The methods in the order the class defines them, the order of the
/// lines of their definitions.
struct ParameterMethods {
    support::MethodRecord **begin() const noexcept;
    support::MethodRecord **end() const noexcept
    {
        return entered_methods + entered_count;
    }
};

inline support::MethodRecord **
ParameterMethods::begin() const noexcept
{
    // A handful of records: sorted by insertion, each time.
    for (std::size_t i = 1; i < entered_count; i++) {
        support::MethodRecord *m = entered_methods[i];
        std::size_t j = i;
        for (; j > 0 && entered_methods[j - 1]->line > m->line; j--) {
            entered_methods[j] = entered_methods[j - 1];
        }
        entered_methods[j] = m;
    }
    return entered_methods;
}

inline constexpr ParameterMethods parameter_methods{};

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
        {name, (PyCFunction)(void (*)(void))support::call_bound,
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
// defined at `line`, the rest as parameter_method() takes it, and enters
// it among the class's methods.
#define PARAM_METHOD(name, line, ...)                                        \
    support::MethodRecord method_##name = parameter_method(                  \
        #name, PARAM_MODULE_NAME ".Parameter." #name, &str_##name,           \
        &str_Parameter_##name, line, __VA_ARGS__);                           \
    const EnteredMethod entered_##name{method_##name}

}  // namespace fernlake

#endif
