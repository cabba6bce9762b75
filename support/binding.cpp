#include "binding.hpp"

#include <cstdint>
#include <cstring>

#include "interpreter.hpp"

namespace fernlake::support {

namespace {

/// An ASCII text assembled piece by piece, for messages whose formatting
/// would cost more than the rest of a failing call. Its pieces are the
/// method names (ASCII identifiers) and counts: the buffer holds the
/// longest message they make.
class AsciiText {
  public:
    /// Appends at most `limit` bytes of `text`.
    void
    add(const char *text, std::size_t limit = SIZE_MAX) noexcept
    {
        for (std::size_t i = 0; i < limit && text[i] != '\0'; i++) {
            assert((unsigned char)text[i] < 128 && size_ < sizeof(buf_));
            buf_[size_++] = text[i];
        }
    }
    /// Appends `n` in decimal, as %zd writes it.
    void
    add(Py_ssize_t n) noexcept
    {
        char digits[24];
        int at = (int)sizeof(digits);
        digits[--at] = '\0';
        std::size_t magnitude = n < 0 ? 0 - (std::size_t)n : (std::size_t)n;
        do {
            digits[--at] = (char)('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (n < 0) {
            digits[--at] = '-';
        }
        add(digits + at);
    }
    /// New reference: the text as a str, or null with an exception set.
    PyObject *
    str() const noexcept
    {
        PyObject *text = PyUnicode_New((Py_ssize_t)size_, 127);
        if (text != NULL) {
            std::memcpy(PyUnicode_1BYTE_DATA(text), buf_, size_);
        }
        return text;
    }

  private:
    char buf_[320];
    std::size_t size_ = 0;
};

/// Raises the positional-count error with `given` as the count given:
/// "%.200s() takes exactly %zd positional arguments (%zd given)", filled
/// with the method's name, its parameter count and `given`.
void
positional_error(const Signature &sig, Py_ssize_t given) noexcept
{
    AsciiText text;
    text.add(sig.name, 200);
    text.add("() takes exactly ");
    text.add(sig.count);
    text.add(" positional arguments (");
    text.add(given);
    text.add(" given)");
    PyObject *message = text.str();
    if (message != NULL) {
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
    }
}

/// Index in [from, to) of the parameter whose name matches `key` by
/// identity, or -1.
Py_ssize_t
match_identity(const Signature &sig, PyObject *key, Py_ssize_t from,
               Py_ssize_t to) noexcept
{
    for (Py_ssize_t i = from; i < to; i++) {
        if (*sig.params[i] == key) {
            return i;
        }
    }
    return -1;
}

/// Index in [from, to) of the parameter whose name equals the text `key`,
/// -1 when none does, -2 with an exception set when a comparison failed.
Py_ssize_t
match_content(const Signature &sig, PyObject *key, Py_ssize_t from,
              Py_ssize_t to) noexcept
{
    for (Py_ssize_t i = from; i < to; i++) {
        PyObject *name = *sig.params[i];
        if (name == key) {
            return i;
        }
        if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(key)) {
            continue;
        }
        int cmp = PyUnicode_Compare(name, key);
        if (cmp < 0 && PyErr_Occurred()) {
            return -2;
        }
        if (cmp == 0) {
            return i;
        }
    }
    return -1;
}

/// Checks every keyword, in the dictionary's order, against the parameters
/// that took no positional argument. 0, or -1 with an exception set.
int
check_keywords(const Signature &sig, PyObject *kwds, PyObject **values,
               Py_ssize_t npos) noexcept
{
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        Py_ssize_t i = match_identity(sig, key, npos, sig.count);
        if (i < 0) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError,
                             "%.200s() keywords must be strings", sig.name);
                return -1;
            }
            i = match_content(sig, key, npos, sig.count);
        }
        if (i == -2) {
            return -1;
        }
        if (i >= 0) {
            Py_INCREF(value);
            Py_XSETREF(values[i], value);
            continue;
        }
        i = match_content(sig, key, 0, npos);
        if (i == -2) {
            return -1;
        }
        if (i >= 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
        }
        else {
            PyErr_Format(PyExc_TypeError,
                         "%s() got an unexpected keyword argument '%U'",
                         sig.name, key);
        }
        return -1;
    }
    return 0;
}

}  // namespace

void
release_values(PyObject **values, Py_ssize_t count) noexcept
{
    for (Py_ssize_t i = 0; i < count; i++) {
        Py_CLEAR(values[i]);
    }
}

int
bind(const Signature &sig, PyObject *const *pos, Py_ssize_t npos,
     PyObject *kwds, PyObject **values) noexcept
{
    if (kwds == NULL ? npos != sig.count : npos > sig.count) {
        positional_error(sig, npos);
        return 1;
    }
    for (Py_ssize_t i = 0; i < sig.count; i++) {
        values[i] = i < npos ? pos[i] : NULL;
        Py_XINCREF(values[i]);
    }
    if (kwds == NULL) {
        return 0;
    }
    // References are taken as values are found: code run by a later lookup
    // (a key's __eq__) may empty the dictionary.
    Py_ssize_t remaining = PyDict_Size(kwds);
    for (Py_ssize_t i = npos; i < sig.count; i++) {
        PyObject *name = *sig.params[i];
        values[i] = PyDict_GetItemWithError(kwds, name);
        if (values[i] == NULL && PyErr_Occurred()) {
            // A keyword's __eq__ raised: that error is the call's.
            release_values(values, sig.count);
            return 1 + (int)sig.count;
        }
        if (values[i] == NULL) {
            // The count given is the parameter's position, which is the
            // number of positional arguments only for `self`.
            positional_error(sig, i);
            release_values(values, sig.count);
            return 1 + (int)i;
        }
        Py_INCREF(values[i]);
        remaining--;
    }
    if (remaining > 0 && check_keywords(sig, kwds, values, npos) < 0) {
        release_values(values, sig.count);
        return 1 + (int)sig.count;
    }
    return 0;
}

}  // namespace fernlake::support
