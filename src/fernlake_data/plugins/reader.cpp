// The method read_param of Parameter: reads a parameter file of key=value
// lines into its target by item assignment, and its binding entry.
#define PARAM_SOURCE_ID 3

#include <Python.h>

#include "methods.hpp"
#include "names.hpp"
#include "routines.hpp"
#include "support/binding.hpp"
#include "support/call.hpp"
#include "support/handled.hpp"
#include "support/lookup.hpp"
#include "support/ops.hpp"

namespace fernlake {

using support::add_traceback;
using support::ExceptionTriple;

namespace {

// The steps below report their own failure point through `*pos`, and
// their source line through `*line_no` where it varies.

// One use of the global `re`: the lookup it remembers, and its failure
// points, distinct from those of the other use.
struct ReUse {
    support::DictMemo memo;
    int resolve, lookup, call;
};

ReUse search_use = {
    {},
    IMPL_POS,  // resolving `re`
    IMPL_POS,  // looking up `search`
    IMPL_POS,  // calling it
};
ReUse split_use = {
    {},
    IMPL_POS,  // resolving `re`
    IMPL_POS,  // looking up `split`
    IMPL_POS,  // calling it
};

/// New reference: `re.<attr>(pattern, line)`.
PyObject *
call_re(ReUse &use, PyObject *attr, PyObject *pattern, PyObject *line,
        int *pos) noexcept
{
    PyObject *re = support::get_global(use.memo, str_re);
    if (re == NULL) {
        *pos = use.resolve;
        return NULL;
    }
    PyObject *func = support::get_attr(re, attr);
    Py_DECREF(re);
    if (func == NULL) {
        *pos = use.lookup;
        return NULL;
    }
    PyObject *args[2] = {pattern, line};
    PyObject *result = support::call_split(func, args, 2);
    if (result == NULL) {
        *pos = use.call;
    }
    return result;
}

/// New reference: `str(raw).strip()`.
PyObject *
normalise(PyObject *raw, int *pos) noexcept
{
    PyObject *text =
        support::call_vector((PyObject *)&PyUnicode_Type, &raw, 1);
    if (text == NULL) {
        *pos = IMPL_POS;
        return NULL;
    }
    PyObject *strip = support::get_attr(text, str_strip);
    Py_DECREF(text);
    if (strip == NULL) {
        *pos = IMPL_POS;
        return NULL;
    }
    PyObject *result = support::call_split(strip, NULL, 0);
    if (result == NULL) {
        *pos = IMPL_POS;
    }
    return result;
}

/// 1 when the normalised `line` holds a setting, 0 when it is a comment or
/// blank line, -1 on failure.
int
is_setting(PyObject *line, int *pos, int *line_no) noexcept
{
    *line_no = 25;
    PyObject *match =
        call_re(search_use, str_search, str_comment_pattern, line, pos);
    if (match == NULL) {
        return -1;
    }
    int comment = support::is_true(match);
    Py_DECREF(match);
    if (comment < 0) {
        *pos = IMPL_POS;
        return -1;
    }
    if (comment) {
        return 0;
    }
    *line_no = 27;
    int blank = support::text_equals(line, str_empty);
    if (blank < 0) {
        *pos = IMPL_POS;
        return -1;
    }
    return !blank;
}

/// New reference: the next line of `lines`, walked by index when it is an
/// exact list or tuple and through `*iter` otherwise. Null with no error at
/// the end, null with an error on failure.
PyObject *
next_line(PyObject *lines, PyObject *iter, Py_ssize_t *index) noexcept
{
    if (iter == NULL) {
        // The length is read anew at each step: the list may change.
        if (*index >= Py_SIZE(lines)) {
            return NULL;
        }
        PyObject *item = PyList_CheckExact(lines)
                             ? PyList_GET_ITEM(lines, *index)
                             : PyTuple_GET_ITEM(lines, *index);
        (*index)++;
        Py_INCREF(item);
        return item;
    }
    PyObject *item = Py_TYPE(iter)->tp_iternext(iter);
    if (item == NULL) {
        support::end_of_iteration();  // another error stays pending
    }
    return item;
}

/// Reads the file at `path` into `self` by item assignment. Arguments
/// borrowed; new reference to None.
PyObject *
read_param_body(PyObject *self, PyObject *path) noexcept
{
    PyObject *opened = NULL, *exit = NULL, *enter, *file = NULL;
    PyObject *lines = NULL, *iter = NULL, *raw = NULL, *line = NULL;
    PyObject *pieces = NULL, *key = NULL, *value = NULL, *result = NULL;
    PyObject *outcome = NULL;  // None once the read has ended without error
    ExceptionTriple recorded, failure;
    Py_ssize_t index = 0;
    int pos, line_no, truth;

    // Open the file and enter it; nothing is left to undo on a failure.
    line_no = 21;
    {
        PyObject *args = PyTuple_Pack(2, path, str_r);
        if (args == NULL) {
            pos = IMPL_POS;
            goto error;
        }
        opened = support::call_tuple(builtin_open, args, NULL);
        Py_DECREF(args);
    }
    if (opened == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    exit = support::lookup_special(opened, str___exit__);
    if (exit == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    enter = support::lookup_special(opened, str___enter__);
    if (enter == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    file = support::call_split(enter, NULL, 0);  // consumes `enter`
    if (file == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    Py_CLEAR(opened);
    recorded = support::save_handled();

    // The body of the with-block: every failure leaves through __exit__.
    line_no = 22;
    lines = support::get_attr(file, str_readlines);
    if (lines == NULL) {
        pos = IMPL_POS;
        goto body_error;
    }
    lines = support::call_split(lines, NULL, 0);
    if (lines == NULL) {
        pos = IMPL_POS;
        goto body_error;
    }
    line_no = 23;
    if (!PyList_CheckExact(lines) && !PyTuple_CheckExact(lines)) {
        iter = PyObject_GetIter(lines);
        if (iter == NULL) {
            pos = IMPL_POS;
            goto body_error;
        }
    }
    while ((raw = next_line(lines, iter, &index)) != NULL) {
        line_no = 24;
        Py_XSETREF(line, normalise(raw, &pos));
        Py_CLEAR(raw);
        if (line == NULL) {
            goto body_error;
        }
        int setting = is_setting(line, &pos, &line_no);
        if (setting < 0) {
            goto body_error;
        }
        if (setting == 0) {
            continue;
        }
        line_no = 29;
        pieces = call_re(split_use, str_split, str_eq, line, &pos);
        if (pieces == NULL) {
            goto body_error;
        }
        Py_CLEAR(key);
        Py_CLEAR(value);
        if (support::unpack_pair(pieces, &key, &value) < 0) {
            pos = IMPL_POS;
            goto body_error;
        }
        Py_CLEAR(pieces);
        line_no = 30;
        if (PyObject_SetItem(self, key, value) < 0) {
            pos = IMPL_POS;
            goto body_error;
        }
    }
    if (PyErr_Occurred()) {
        line_no = 23;
        pos = IMPL_POS;
        goto body_error;
    }

    // Normal end of the with-block.
    line_no = 21;
    recorded.clear();
    result = support::call_tuple(exit, exit_args, NULL);
    if (result == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    Py_DECREF(result);
    Py_INCREF(Py_None);
    outcome = Py_None;
    goto done;

body_error:
    // The failure passes through __exit__, which sees it as the exception
    // being handled, with this line as its first traceback entry.
    add_traceback(routine_read_param, pos, line_no);
    line_no = 21;
    if (support::take_up_pending(failure) < 0) {
        pos = IMPL_POS;
        goto exit_error;
    }
    {
        // A failure whose entry could not be added may have no traceback.
        PyObject *args = PyTuple_Pack(
            3, failure.type, failure.value,
            failure.traceback ? failure.traceback : Py_None);
        if (args == NULL) {
            pos = IMPL_POS;
            goto exit_error;
        }
        result = support::call_tuple(exit, args, NULL);
        Py_DECREF(args);
    }
    if (result == NULL) {
        pos = IMPL_POS;
        goto exit_error;
    }
    truth = support::is_true(result);
    Py_CLEAR(result);
    if (truth < 0) {
        pos = IMPL_POS;
        goto exit_error;
    }
    if (truth) {
        // __exit__ suppressed the failure: the read ends early, without one.
        failure.clear();
        support::reset_handled(recorded);
        Py_INCREF(Py_None);
        outcome = Py_None;
        goto done;
    }
    support::restore_pending(failure);
    support::reset_handled(recorded);
    pos = IMPL_POS;
    goto error;

exit_error:
    // A failure while leaving replaces the one that was passing through.
    failure.clear();
    support::reset_handled(recorded);

error:
    add_traceback(routine_read_param, pos, line_no);

done:
    Py_XDECREF(opened);
    Py_XDECREF(exit);
    Py_XDECREF(file);
    Py_XDECREF(lines);
    Py_XDECREF(iter);
    Py_XDECREF(line);
    Py_XDECREF(pieces);
    Py_XDECREF(key);
    Py_XDECREF(value);
    return outcome;
}

PyObject **const read_param_params[] = {&str_self, &str_path, NULL};
const support::Signature read_param_signature{"read_param",
                                              read_param_params, 2};

// The failure points of binding, in the order the binding numbers them.
const int read_param_binding[] = {
    IMPL_POS,  // wrong positional count, or `self` missing
    IMPL_POS,  // `path` missing
    IMPL_POS,  // keyword check
};

/// The binding entry: binds `self` and `path` and reads the file. A
/// binding failure reports the line of the method's definition.
PyObject *
read_param_entry(PyObject *, PyObject *args, PyObject *kwds) noexcept
{
    PyObject *v[2];
    int failure = support::bind(read_param_signature, args, kwds, v);
    if (failure) {
        return binding_failed(routine_read_param, read_param_binding,
                              failure, 20);
    }
    PyObject *result = read_param_body(v[0], v[1]);
    support::release_values(v, 2);
    return result;
}

}  // namespace

PyMethodDef method_read_param = {
    "read_param", (PyCFunction)(void (*)(void))read_param_entry,
    METH_VARARGS | METH_KEYWORDS, NULL};

}  // namespace fernlake

PARAM_SOURCE_END;
