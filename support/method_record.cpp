#include "method_record.hpp"

#include "call.hpp"

namespace fernlake::support {

namespace {

/// New reference: binds the `npos` positional arguments `pos` and `kwds`
/// to the parameters of `m` and runs its body; a binding failure adds the
/// traceback entry of its failure point at the line of the definition.
PyObject *
bind_and_run(const MethodRecord &m, PyObject *const *pos, Py_ssize_t npos,
             PyObject *kwds) noexcept
{
    PyObject *values[max_params];
    int failure = bind(m.signature, pos, npos, kwds, values);
    if (failure != 0) {
        assert(failure <= m.signature.count + 1);
        add_traceback(m.routine, m.binding_points[failure - 1], m.line);
        return NULL;
    }
    PyObject *result = m.body(values);
    release_values(values, m.signature.count);
    return result;
}

}  // namespace

PyObject *
bind_and_call(PyObject *func, PyObject *args, PyObject *kwds) noexcept
{
    return bind_and_run(record_of(func), &PyTuple_GET_ITEM(args, 0),
                        PyTuple_GET_SIZE(args), kwds);
}

PyObject *
call_as_bound_method(const MethodRecord &m, PyObject *self, PyObject *args,
                     PyObject *kwds) noexcept
{
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject *pos[max_params];
    if (nargs < max_params) {
        pos[0] = self;
        for (Py_ssize_t i = 0; i < nargs; i++) {
            pos[i + 1] = PyTuple_GET_ITEM(args, i);
        }
    }
    // Too many arguments are refused on their count alone.
    return in_call_guard(
        [&] { return bind_and_run(m, pos, nargs + 1, kwds); });
}

PyObject *
run_body(const MethodRecord &m, PyObject *const *args) noexcept
{
    return in_call_guard([&] { return m.body(args); });
}

}  // namespace fernlake::support
