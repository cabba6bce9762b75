#include "call.hpp"

#include "interpreter.hpp"
#include "method_function.hpp"

namespace fernlake::support {

const char call_guard_text[] = " while calling a Python object";

namespace {

/// A null result must come with an exception; one that does not becomes
/// SystemError "NULL result without error in PyObject_Call", the module's
/// fixed text for it (the interpreter's own check, which these paths skip,
/// names the callable instead: "... returned NULL without setting an
/// exception", "... an error" on 3.9).
PyObject *
reported(PyObject *result) noexcept
{
    if (result == NULL && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError,
                        "NULL result without error in PyObject_Call");
    }
    return result;
}

/// New reference: an interpreted function run on an argument array.
PyObject *
run_interpreted(PyObject *func, PyObject *const *args, Py_ssize_t n) noexcept
{
    // PyObject_Vectorcall calls the function's own vectorcall entry (the
    // interpreter's, which 3.13 no longer exports by name), found at the
    // offset that its type gives; the result check it adds cannot fire, as
    // a function returns null only with an exception set.
    return in_call_guard(
        [&] { return PyObject_Vectorcall(func, args, (size_t)n, NULL); });
}

/// True for a native function whose convention is the argument array.
bool
takes_vector(PyObject *func) noexcept
{
    if (!PyCFunction_Check(func)) {
        return false;
    }
    const int ignored = METH_CLASS | METH_STATIC | METH_COEXIST | METH_KEYWORDS;
    return (PyCFunction_GET_FLAGS(func) & ~ignored) == METH_FASTCALL;
}

/// New reference: a native function called on its argument array. This
/// path alone runs outside the recursion guard. A null result without an
/// exception is reported as the interpreter reports it for such a call.
PyObject *
run_native_vector(PyObject *func, PyObject *const *args,
                  Py_ssize_t n) noexcept
{
    PyCFunction meth = PyCFunction_GET_FUNCTION(func);
    PyObject *self = PyCFunction_GET_SELF(func);
    PyObject *result;
    if (PyCFunction_GET_FLAGS(func) & METH_KEYWORDS) {
        result = ((FastKeywordsFunction)(void (*)(void))meth)(
            self, args, n, NULL);
    }
    else {
        result = ((FastFunction)(void (*)(void))meth)(self, args, n);
    }
    if (result == NULL && !PyErr_Occurred()) {
        raise_null_result(func);
    }
    return result;
}

/// New reference: a native function called directly with `arg` as its one
/// argument, or with null when it takes none.
PyObject *
run_native(PyObject *func, PyObject *arg) noexcept
{
    PyCFunction meth = PyCFunction_GET_FUNCTION(func);
    PyObject *self = PyCFunction_GET_SELF(func);
    return in_call_guard([&] { return reported(meth(self, arg)); });
}

/// New reference: calls through the call slot with a new argument tuple.
PyObject *
call_with_new_tuple(PyObject *func, PyObject *const *args,
                    Py_ssize_t n) noexcept
{
    PyObject *tuple = PyTuple_New(n);
    if (tuple == NULL) {
        return NULL;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple, i, args[i]);
    }
    PyObject *result = call_tuple(func, tuple, NULL);
    Py_DECREF(tuple);
    return result;
}

}  // namespace

PyObject *
call_tuple(PyObject *func, PyObject *args, PyObject *kwds) noexcept
{
    ternaryfunc call = Py_TYPE(func)->tp_call;
    return in_call_guard([&] {
        return call ? reported(call(func, args, kwds))
                    : PyObject_Call(func, args, kwds);
    });
}

PyObject *
call_vector(PyObject *func, PyObject *const *args, Py_ssize_t n) noexcept
{
    assert(n >= 0 && n <= 3);
    if (Py_TYPE(func) == &PyFunction_Type) {
        return run_interpreted(func, args, n);
    }
    if (n == 0 && (PyCFunction_Check(func) || is_method_function(func))
        && (PyCFunction_GET_FLAGS(func) & METH_NOARGS)) {
        return run_native(func, NULL);
    }
    if (n == 1 && PyCFunction_Check(func)
        && (PyCFunction_GET_FLAGS(func) & METH_O)) {
        return run_native(func, args[0]);
    }
    if (n > 0 && takes_vector(func)) {
        return run_native_vector(func, args, n);
    }
    return call_with_new_tuple(func, args, n);
}

PyObject *
call_split(PyObject *callable, PyObject *const *args, Py_ssize_t n) noexcept
{
    assert(n >= 0 && n <= 2);
    if (Py_TYPE(callable) != &PyMethod_Type
        || PyMethod_GET_SELF(callable) == NULL) {
        PyObject *result = call_vector(callable, args, n);
        Py_DECREF(callable);
        return result;
    }
    PyObject *func = PyMethod_GET_FUNCTION(callable);
    PyObject *self = PyMethod_GET_SELF(callable);
    Py_INCREF(func);
    Py_INCREF(self);
    Py_DECREF(callable);
    PyObject *vector[3] = {self, NULL, NULL};
    for (Py_ssize_t i = 0; i < n; i++) {
        vector[i + 1] = args[i];
    }
    PyObject *result = call_vector(func, vector, n + 1);
    Py_DECREF(self);
    Py_DECREF(func);
    return result;
}

}  // namespace fernlake::support
