#include "method_record.hpp"

namespace fernlake::support {

PyObject *
call_bound(PyObject *func, PyObject *args, PyObject *kwds) noexcept
{
    const MethodRecord &m = record_of(func);
    PyObject *values[max_params];
    int failure = bind(m.signature, args, kwds, values);
    if (failure != 0) {
        assert(failure <= m.signature.count + 1);
        add_traceback(m.routine, m.binding_points[failure - 1], m.line);
        return NULL;
    }
    PyObject *result = m.body(values);
    release_values(values, m.signature.count);
    return result;
}

}  // namespace fernlake::support
