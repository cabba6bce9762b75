// The shortcut of the reader's readlines(): a text file read at once as
// its bytes, and their lines.
#include "shortcuts.hpp"

#include <cstdint>
#include <cstring>

#include "names.hpp"

namespace fernlake {

namespace {

// The types of what the interpreter's own open() makes of open(path, "r"):
// the text file, and the buffer it decodes. Held; null when the cached
// `open` is not that function.
PyTypeObject *text_file_type = nullptr;
PyTypeObject *buffer_type = nullptr;

/// New reference: the type `name` of the module `module`, or null.
PyTypeObject *
type_of(PyObject *module, PyObject *name) noexcept
{
    PyObject *type = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (type == NULL || !PyType_Check(type)) {
        return NULL;
    }
    Py_INCREF(type);
    return (PyTypeObject *)type;
}

/// 1 when the text `name`, an encoding's name, names UTF-8 as the codec
/// registry normalises names (case, '-' and '_' aside), else 0; -1 with an
/// exception set. Reads the code points in place, without a copy.
int
names_utf8(PyObject *name) noexcept
{
    if (!PyUnicode_Check(name)) {
        return 0;
    }
    if (support::text_ready(name) < 0) {
        return -1;
    }
    const int kind = PyUnicode_KIND(name);
    const void *data = PyUnicode_DATA(name);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    const char *const want = "utf8";
    std::size_t n = 0;
    for (Py_ssize_t i = 0; i < length; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '-' || c == '_') {
            continue;
        }
        if (c >= 'A' && c <= 'Z') {
            c += 'a' - 'A';
        }
        if (want[n] == '\0' || c != (Py_UCS4)want[n]) {
            return 0;
        }
        n++;
    }
    return want[n] == '\0';
}

/// True when the `n` bytes at `s` are well-formed UTF-8, which is what the
/// interpreter's strict UTF-8 decoder accepts: no overlong forms, no
/// surrogates, nothing above U+10FFFF, no sequence cut short.
bool
valid_utf8(const unsigned char *s, std::size_t n) noexcept
{
    std::size_t i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;  // eight ASCII bytes
                continue;
            }
        }
        unsigned char c = s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        std::size_t length = c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3
                                                     : c < 0xF5 ? 4
                                                                : 0;
        if (length == 0 || i + length > n) {
            return false;
        }
        // The second byte's range depends on the first.
        unsigned char low = 0x80, high = 0xBF;
        if (c == 0xE0) {
            low = 0xA0;
        }
        else if (c == 0xED) {
            high = 0x9F;  // no surrogates
        }
        else if (c == 0xF0) {
            low = 0x90;
        }
        else if (c == 0xF4) {
            high = 0x8F;
        }
        if (s[i + 1] < low || s[i + 1] > high) {
            return false;
        }
        for (std::size_t k = 2; k < length; k++) {
            if ((s[i + k] & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

/// The character that the well-formed UTF-8 at `s` begins with, and its
/// length in bytes.
inline Py_UCS4
decode_at(const unsigned char *s, int *length) noexcept
{
    unsigned char c = s[0];
    if (c < 0x80) {
        *length = 1;
        return c;
    }
    if (c < 0xE0) {
        *length = 2;
        return (Py_UCS4)(c & 0x1F) << 6 | (s[1] & 0x3F);
    }
    if (c < 0xF0) {
        *length = 3;
        return (Py_UCS4)(c & 0x0F) << 12 | (Py_UCS4)(s[1] & 0x3F) << 6
               | (s[2] & 0x3F);
    }
    *length = 4;
    return (Py_UCS4)(c & 0x07) << 18 | (Py_UCS4)(s[1] & 0x3F) << 12
           | (Py_UCS4)(s[2] & 0x3F) << 6 | (s[3] & 0x3F);
}

}  // namespace

int
capture_file_types(PyObject *open) noexcept
{
    Py_CLEAR(text_file_type);
    Py_CLEAR(buffer_type);
    PyObject *io = PyImport_GetModule(str__io);
    if (io == NULL) {
        return PyErr_Occurred() ? -1 : 0;
    }
    if (PyModule_CheckExact(io) && PyCFunction_CheckExact(open)
        && PyCFunction_GET_SELF(open) == io) {
        text_file_type = type_of(io, str_TextIOWrapper);
        buffer_type = text_file_type ? type_of(io, str_BufferedReader) : NULL;
    }
    Py_DECREF(io);
    return PyErr_Occurred() ? -1 : 0;
}

PyObject *
file_bytes_serve(PyObject *file) noexcept
{
    if (buffer_type == nullptr || Py_TYPE(file) != text_file_type) {
        return NULL;
    }
    // open(path, "r") decodes strictly, in the encoding of the locale.
    PyObject *encoding = PyObject_GetAttr(file, str_encoding);
    int serve = encoding == NULL ? -1 : names_utf8(encoding);
    Py_XDECREF(encoding);
    PyObject *buffer = NULL;
    if (serve == 1) {
        buffer = PyObject_GetAttr(file, str_buffer);
        serve = buffer == NULL ? -1 : Py_TYPE(buffer) == buffer_type;
    }
    if (serve == 1) {
        PyObject *seekable = PyObject_CallMethodNoArgs(file, str_seekable);
        serve = seekable == NULL ? -1 : PyObject_IsTrue(seekable);
        Py_XDECREF(seekable);
    }
    if (serve != 1) {
        Py_CLEAR(buffer);
    }
    return buffer;
}

PyObject *
read_file_bytes(PyObject *file, PyObject *buffer) noexcept
{
    PyObject *bytes = PyObject_CallMethodNoArgs(buffer, str_read);
    if (bytes == NULL) {
        return NULL;
    }
    if (PyBytes_CheckExact(bytes)
        && valid_utf8((const unsigned char *)PyBytes_AS_STRING(bytes),
                      (std::size_t)PyBytes_GET_SIZE(bytes))) {
        return bytes;
    }
    Py_DECREF(bytes);
    PyObject *zero = PyLong_FromLong(0);
    PyObject *at =
        zero != NULL ? PyObject_CallMethodOneArg(file, str_seek, zero) : NULL;
    Py_XDECREF(zero);
    if (at == NULL) {
        return NULL;
    }
    Py_DECREF(at);
    return NULL;
}

Utf8Lines::Utf8Lines(PyObject *bytes) noexcept
    : data_(PyBytes_AS_STRING(bytes)), size_(PyBytes_GET_SIZE(bytes)),
      has_cr_(std::memchr(data_, '\r', (std::size_t)size_) != NULL)
{
}

bool
Utf8Lines::next(Py_ssize_t *start, Py_ssize_t *end) noexcept
{
    if (at_ >= size_) {
        return false;
    }
    Py_ssize_t b = at_, e;
    if (!has_cr_) {
        const char *nl = (const char *)std::memchr(data_ + b, '\n',
                                                   (std::size_t)(size_ - b));
        e = nl != NULL ? nl - data_ : size_;
        at_ = nl != NULL ? e + 1 : size_;
    }
    else {
        // "\r\n" and "\r" end a line as "\n" does.
        e = b;
        while (e < size_ && data_[e] != '\n' && data_[e] != '\r') {
            e++;
        }
        at_ = e;
        if (e < size_) {
            at_ = e + 1;
            if (data_[e] == '\r' && at_ < size_ && data_[at_] == '\n') {
                at_++;
            }
        }
    }
    const unsigned char *s = (const unsigned char *)data_;
    int length;
    while (b < e && Py_UNICODE_ISSPACE(decode_at(s + b, &length))) {
        b += length;
    }
    while (e > b) {
        Py_ssize_t last = e - 1;
        while ((s[last] & 0xC0) == 0x80) {
            last--;  // back to the first byte of the last character
        }
        if (!Py_UNICODE_ISSPACE(decode_at(s + last, &length))) {
            break;
        }
        e = last;
    }
    *start = b;
    *end = e;
    return true;
}

}  // namespace fernlake
