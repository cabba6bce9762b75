// A text file read at once as its bytes, where that stands for its
// readlines(): the file is one that the interpreter's own open() made, which
// decodes UTF-8 strictly and translates every newline to '\n', so its lines
// are the pieces of its bytes up to each newline, decoded. Reading the bytes
// spares the line objects and the wide texts that decoding makes, and each
// setting's key and value are decoded from their own bytes.
#ifndef FERNLAKE_PLUGINS_FILE_BYTES_HPP
#define FERNLAKE_PLUGINS_FILE_BYTES_HPP

#include <Python.h>

namespace fernlake {

/// Captures, at module execution, the types of the text file and of its
/// buffer that `open` (borrowed; the cached builtin) makes, when it is the
/// interpreter's own; else reading bytes stays off. 0, or -1 with an
/// exception set.
int capture_file_types(PyObject *open) noexcept;

/// Whether the bytes of `file` (what `__enter__` gave of what the captured
/// `open` made of open(path, "r"), which decodes strictly) can stand for
/// its readlines(): it is exactly a text file of the captured type, over a
/// buffer of the captured type, whose encoding is UTF-8 (the encoding of
/// the locale, on most systems), and it can seek (so that a text that does
/// not decode can be read again by readlines(), for its own error, which
/// tells the position in the piece it decodes). 1, 0, or -1 with an
/// exception set.
int file_bytes_serve(PyObject *file) noexcept;

/// New reference: all bytes of `file`, read through its buffer, when they
/// are UTF-8; null with no error when they are not, and `file` is back at
/// its start for readlines() to read it anew; null with an exception set
/// when reading failed.
PyObject *read_file_bytes(PyObject *file) noexcept;

/// The lines of UTF-8 bytes as readlines() of such a file gives them, each
/// stripped as str.strip() strips it: every character that str.isspace()
/// counts as whitespace goes at either end.
class Utf8Lines {
  public:
    explicit Utf8Lines(PyObject *bytes) noexcept;

    /// The next line, as the bytes [*start, *end) of its stripped text;
    /// false after the last.
    bool next(Py_ssize_t *start, Py_ssize_t *end) noexcept;

    const char *
    data() const noexcept
    {
        return data_;
    }

  private:
    const char *data_;
    Py_ssize_t size_;
    Py_ssize_t at_ = 0;  // where the next line begins
    bool has_cr_;        // a '\r' somewhere, which ends a line too
};

}  // namespace fernlake

#endif
