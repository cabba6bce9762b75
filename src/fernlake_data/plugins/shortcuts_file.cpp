// The shortcut of the reader's readlines(): a text file read as its bytes,
// in pieces, and their lines.
#include "shortcuts.hpp"

#include <sys/stat.h>
#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "names.hpp"

// MSVC's C library names the file-type test of stat() otherwise.
#ifndef S_ISREG
#define S_ISREG(mode) (((mode) & S_IFMT) == S_IFREG)
#endif

namespace fernlake {

namespace {

// What the interpreter's own open() makes of open(path, "r"), captured at
// import: the types of the text file, of the buffer it decodes and of the
// raw file under that, and of the newline decoder around the codec's
// decoder; the codec's decoder class for UTF-8 with its version and the
// code of its decode(); the buffer's methods, called without a lookup on
// the buffer. All held; `ready` is false when any of them is not as the
// shortcut needs, and the shortcut is then off.
struct FileCapture {
    bool ready = false;
    PyTypeObject *text_file_type = nullptr;
    PyTypeObject *buffer_type = nullptr;
    PyTypeObject *raw_type = nullptr;
    PyTypeObject *newline_decoder_type = nullptr;
    PyTypeObject *decoder_class = nullptr;
    unsigned int decoder_version = 0;
    PyObject *decode = nullptr;       // the class's decode(), a function
    PyObject *decode_code = nullptr;  // its code at import
    PyObject *read = nullptr, *readinto = nullptr, *tell = nullptr,
             *seek = nullptr, *seekable = nullptr, *fileno = nullptr;
} captured_file;

// readlines() decodes a file in pieces of this size (the text file's
// chunk size); what stands for it serves pending work as often.
constexpr Py_ssize_t decode_piece = 8192;
// The bytes read from the buffer at a time.
constexpr Py_ssize_t read_piece = 1 << 16;
// The size of the chunks that hold a file's bytes, so that the reader can
// free each once the settings of its lines are stored, while the settings
// grow: a file's whole text and all its settings are never held at once.
constexpr Py_ssize_t chunk_bytes = 1 << 18;

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

/// The length of the character of well-formed UTF-8 that the `n` bytes at
/// `s` begin with, the first of them no ASCII: -1 when they begin no such
/// character, 0 when they cut it short.
int
multibyte_length(const unsigned char *s, std::size_t n) noexcept
{
    unsigned char c = s[0];
    int length = c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
    if (length == 0) {
        return -1;
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
    std::size_t k = 1;
    for (; k < (std::size_t)length && k < n; k++) {
        unsigned char lo = k == 1 ? low : 0x80, hi = k == 1 ? high : 0xBF;
        if (s[k] < lo || s[k] > hi) {
            return -1;
        }
    }
    return k < (std::size_t)length ? 0 : length;
}

// The high bit of each byte of a word: a byte with it is no ASCII.
constexpr std::uint64_t high_bits = 0x8080808080808080ull;

/// How many of the `n` bytes at `s`, from the first, are whole characters
/// of well-formed UTF-8, which is what the interpreter's strict UTF-8
/// decoder accepts: no overlong forms, no surrogates, nothing above
/// U+10FFFF. The count stops at the first byte that is not, with `*bad`
/// set, or at a character that the `n` bytes cut short, with `*bad` false.
std::size_t
valid_utf8_prefix(const unsigned char *s, std::size_t n, bool *bad) noexcept
{
    std::size_t i = 0;
    while (i < n) {
        // Runs of ASCII, most of a file, are passed four words at a time.
        while (i + 32 <= n) {
            std::uint64_t w[4];
            std::memcpy(w, s + i, 32);
            if (((w[0] | w[1] | w[2] | w[3]) & high_bits) != 0) {
                break;
            }
            i += 32;
        }
        if (i == n) {
            break;  // the bytes past `n` are not the caller's to read
        }
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & high_bits) == 0) {
                i += 8;  // eight ASCII bytes
                continue;
            }
        }
        unsigned char c = s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        int length = multibyte_length(s + i, n - i);
        if (length <= 0) {
            *bad = length < 0;  // else cut short: the rest may follow
            return i;
        }
        i += (std::size_t)length;
    }
    return i;
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

/// True when the `n` bytes at `p` are all ASCII, read a word at a time; the
/// last word read overlaps the one before where `n` is no multiple of 8.
bool
is_ascii(const char *p, Py_ssize_t n) noexcept
{
    std::uint64_t any = 0;
    if (n >= 8) {
        std::uint64_t word;
        for (Py_ssize_t i = 0; i + 8 < n; i += 8) {
            std::memcpy(&word, p + i, 8);
            any |= word;
        }
        std::memcpy(&word, p + n - 8, 8);
        any |= word;
    }
    else if (n >= 4) {
        std::uint32_t first, last;
        std::memcpy(&first, p, 4);
        std::memcpy(&last, p + n - 4, 4);
        any = first | last;
    }
    else {
        for (Py_ssize_t i = 0; i < n; i++) {
            any |= (unsigned char)p[i];
        }
    }
    return (any & high_bits) == 0;
}

/// Fills `to`, characters of one width, with the characters of the `n`
/// bytes of well-formed UTF-8 at `s`.
template <typename Char>
void
decode_into(Char *to, const unsigned char *s, Py_ssize_t n) noexcept
{
    for (Py_ssize_t i = 0; i < n;) {
        int length;
        *to++ = (Char)decode_at(s + i, &length);
        i += length;
    }
}

/// New reference: the method `name` of the built-in type `type`, as its
/// descriptor, to be called with the instance first; null when it has none
/// of the kind.
PyObject *
method_of(PyTypeObject *type, PyObject *name) noexcept
{
    PyObject *found = support::type_lookup(type, name);
    if (found == NULL || Py_TYPE(found) != &PyMethodDescr_Type) {
        return NULL;
    }
    Py_INCREF(found);
    return found;
}

/// What the traverse of a text file visits, for text_file_is_fresh().
struct Referents {
    static constexpr int capacity = 16;
    PyObject *items[capacity];
    int count = 0;
    bool overflow = false;
};

int
collect(PyObject *obj, void *arg) noexcept
{
    Referents *r = (Referents *)arg;
    if (r->count == Referents::capacity) {
        r->overflow = true;
        return 1;
    }
    r->items[r->count++] = obj;
    return 0;
}

/// True when the two exact texts are equal; no code runs.
bool
same_text(PyObject *a, PyObject *b) noexcept
{
    return a == b
           || (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)
               && PyUnicode_Compare(a, b) == 0);
}

/// True when `decoder`, whose attribute dictionary is `dict` (borrowed,
/// or null), is as the codec made it, for the captured class: of that
/// class, unchanged since import, with its input held back empty, strict
/// errors, and no attribute of its own that hides one of the class's.
bool
decoder_is_plain(PyObject *decoder, PyObject *dict) noexcept
{
    const FileCapture &c = captured_file;
    if (decoder == NULL || Py_TYPE(decoder) != c.decoder_class
        || support::valid_type_version(c.decoder_class) != c.decoder_version
        || PyFunction_GET_CODE(c.decode) != c.decode_code) {
        return false;
    }
    if (dict == NULL || !PyDict_CheckExact(dict)) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    int found = 0;
    // Nothing below runs code or changes the dictionary.
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
        if (same_text(key, str_buffer)) {
            if (!PyBytes_CheckExact(value) || PyBytes_GET_SIZE(value) != 0) {
                return false;
            }
            found++;
        }
        else if (same_text(key, str_errors)) {
            if (!same_text(value, str_strict)) {
                return false;
            }
            found++;
        }
        else if (support::type_lookup(c.decoder_class, key) != NULL) {
            return false;  // it hides the class's attribute
        }
    }
    return found == 2;
}

/// True when the text file `file` has read and decoded nothing yet, as
/// open() made it, with `*decoder` (borrowed) the decoder that its newline
/// decoder wraps. Its traverse shows all it holds: its type, `buffer`, the
/// texts `encoding` and `errors`, the newline decoder, the raw file, its
/// attribute dictionary; decoded text, a snapshot of the decoder or bytes
/// to write would be more. It neither runs code nor allocates.
bool
text_file_is_fresh(PyObject *file, PyObject *buffer, PyObject *encoding,
                   PyObject *errors, PyObject **decoder) noexcept
{
    const FileCapture &c = captured_file;
    Referents r;
    Py_TYPE(file)->tp_traverse(file, collect, &r);
    if (r.overflow) {
        return false;
    }
    PyObject *newline_decoder = NULL;
    bool has_raw = false;
    for (int i = 0; i < r.count; i++) {
        PyObject *item = r.items[i];
        PyTypeObject *type = Py_TYPE(item);
        if (item == (PyObject *)Py_TYPE(file) || item == buffer
            || item == encoding || item == errors
            || type == &PyDict_Type) {
            continue;
        }
        if (type == c.raw_type && !has_raw) {
            has_raw = true;
        }
        else if (type == c.newline_decoder_type && newline_decoder == NULL) {
            newline_decoder = item;
        }
        else {
            return false;
        }
    }
    if (newline_decoder == NULL || !has_raw) {
        return false;
    }
    *decoder = support::wrapped_decoder(newline_decoder);
    return *decoder != NULL;
}

/// fstat() of the descriptor `fd`. From glibc 2.33 the C library's
/// fstat() is a symbol of that version (fstat64@GLIBC_2.33), which would
/// keep the wheel from installing where the C library is older
/// (manylinux2014 promises glibc 2.17); on 64-bit Linux the system call
/// fills the same struct stat, and is made directly.
int
file_status(int fd, struct stat *st) noexcept
{
#if defined(__linux__) && defined(SYS_fstat) && __SIZEOF_POINTER__ == 8
    return (int)syscall(SYS_fstat, fd, st);
#else
    return fstat(fd, st);
#endif
}

/// The size of what is left of the file under `buffer` from `start` (its
/// position), and one byte more, so that the read that finds the end needs
/// no more room; a piece to read when the size is unknown. `*whole` tells
/// whether it is a regular file whose rest is less than a piece, which one
/// read() to its end then takes, as it would take a piece. -1 with an
/// exception set.
Py_ssize_t
size_hint(PyObject *buffer, PyObject *start, bool *whole) noexcept
{
    *whole = false;
    PyObject *fd = PyObject_CallOneArg(captured_file.fileno, buffer);
    if (fd == NULL) {
        return -1;
    }
    long descriptor = PyLong_AsLong(fd);
    Py_DECREF(fd);
    long long at = PyLong_AsLongLong(start);
    if (PyErr_Occurred()) {
        return -1;
    }
    struct stat st;
    if (file_status((int)descriptor, &st) != 0 || st.st_size <= at
        || st.st_size - at >= PY_SSIZE_T_MAX - read_piece) {
        return read_piece;
    }
    *whole = S_ISREG(st.st_mode) && st.st_size - at < read_piece;
    return (Py_ssize_t)(st.st_size - at) + 1;
}

/// Reads up to `n` bytes of `buffer` into `to`: how many (0 at the end);
/// -1 with an exception set; -2 with none when the buffer gave no count
/// (a file that would block).
Py_ssize_t
read_into(PyObject *buffer, char *to, Py_ssize_t n) noexcept
{
    PyObject *view = PyMemoryView_FromMemory(to, n, PyBUF_WRITE);
    if (view == NULL) {
        return -1;
    }
    PyObject *args[2] = {buffer, view};
    PyObject *got = PyObject_Vectorcall(captured_file.readinto, args, 2, NULL);
    // The view lends memory that may move once it is released: nothing
    // may keep it.
    bool kept = Py_REFCNT(view) != 1;
    Py_DECREF(view);
    if (got == NULL) {
        return -1;
    }
    Py_ssize_t count = PyLong_CheckExact(got) ? PyLong_AsSsize_t(got) : -2;
    Py_DECREF(got);
    if (count == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (kept || count < -2 || count > n) {
        PyErr_SetString(PyExc_SystemError, "readinto() kept its buffer");
        return -1;
    }
    return count;
}

/// Checks the bytes [*checked, filled) of `data` for UTF-8, a piece of
/// decode_piece bytes at a time, serving pending work after each, as the
/// decoder's code would at each piece it decodes; a character cut at
/// `filled` waits for the next bytes, unless `at_end`. 0 to read on, 1 at
/// the end with all bytes UTF-8, 2 when they are not or an exception waits
/// for the thread, -1 with an exception set.
int
check_pieces(const char *data, Py_ssize_t *checked, Py_ssize_t filled,
             bool at_end, PyThreadState *t) noexcept
{
    const unsigned char *s = (const unsigned char *)data;
    do {
        Py_ssize_t limit = *checked + decode_piece < filled
                               ? *checked + decode_piece
                               : filled;
        bool bad = false;
        *checked += (Py_ssize_t)valid_utf8_prefix(
            s + *checked, (std::size_t)(limit - *checked), &bad);
        if (bad || (at_end && limit == filled && *checked < filled)) {
            return 2;
        }
        if (support::serve_pending_work(t) < 0) {
            return -1;
        }
        if (support::async_exception_pending(t)) {
            return 2;  // readlines() raises it where its decoder runs
        }
        if (limit == filled) {
            break;
        }
    } while (true);
    return at_end ? 1 : 0;
}

/// Captures in `c` the class whose instances the codec registry makes for
/// UTF-8, as open() asks it, with its version and its decode() with that
/// function's code. 1 when all are as the shortcut needs, 0 when not, -1
/// with an exception set.
int
capture_decoder(FileCapture &c) noexcept
{
    // Making one runs the codec's own code, at import.
    PyObject *decoder = PyCodec_IncrementalDecoder("utf-8", "strict");
    if (decoder == NULL) {
        return -1;
    }
    PyTypeObject *cls = Py_TYPE(decoder);
    Py_INCREF(cls);
    Py_DECREF(decoder);
    Py_XSETREF(c.decoder_class, cls);
    // The lookup also gives the class a version, when it has none yet.
    PyObject *decode = support::type_lookup(cls, str_decode);
    if (decode == NULL || !PyFunction_Check(decode)) {
        return 0;
    }
    Py_INCREF(decode);
    Py_XSETREF(c.decode, decode);
    PyObject *code = PyFunction_GET_CODE(decode);
    Py_INCREF(code);
    Py_XSETREF(c.decode_code, code);
    c.decoder_version = support::valid_type_version(cls);
    return 1;
}

}  // namespace

int
capture_file_types(PyObject *open) noexcept
{
    FileCapture &c = captured_file;
    c.ready = false;
    PyObject *io = PyImport_GetModule(str__io);
    if (io == NULL) {
        return PyErr_Occurred() ? -1 : 0;
    }
    if (!PyModule_CheckExact(io) || !PyCFunction_CheckExact(open)
        || PyCFunction_GET_SELF(open) != io) {
        Py_DECREF(io);
        return 0;
    }
    Py_XSETREF(c.text_file_type, type_of(io, str_TextIOWrapper));
    Py_XSETREF(c.buffer_type, type_of(io, str_BufferedReader));
    Py_XSETREF(c.raw_type, PyErr_Occurred() ? NULL : type_of(io, str_FileIO));
    Py_XSETREF(c.newline_decoder_type,
               PyErr_Occurred()
                   ? NULL
                   : type_of(io, str_IncrementalNewlineDecoder));
    Py_DECREF(io);
    if (PyErr_Occurred()) {
        return -1;
    }
    if (c.text_file_type == NULL || c.buffer_type == NULL
        || c.raw_type == NULL || c.newline_decoder_type == NULL) {
        return 0;
    }
    PyObject *const methods[] = {str_read, str_readinto, str_tell,
                                 str_seek, str_seekable, str_fileno};
    PyObject **slots[] = {&c.read, &c.readinto, &c.tell, &c.seek,
                          &c.seekable, &c.fileno};
    for (std::size_t i = 0; i < 6; i++) {
        PyObject *found = method_of(c.buffer_type, methods[i]);
        if (found == NULL) {
            return PyErr_Occurred() ? -1 : 0;
        }
        Py_XSETREF(*slots[i], found);
    }
    int decoder = capture_decoder(c);
    if (decoder <= 0) {
        return decoder;
    }
    if (support::capture_monitoring() < 0) {
        return -1;
    }
    c.ready = c.decoder_version != 0;
    return 0;
}

PyObject *
file_bytes_serve(PyObject *file, PyThreadState *t) noexcept
{
    const FileCapture &c = captured_file;
    if (!c.ready || Py_TYPE(file) != c.text_file_type
        || support::async_exception_pending(t)) {
        return NULL;
    }
    // The members read run no code; a detached file has no buffer (None).
    PyObject *buffer = PyObject_GetAttr(file, str_buffer);
    PyObject *encoding = PyObject_GetAttr(file, str_encoding);
    PyObject *errors = PyObject_GetAttr(file, str_errors);
    int serve = buffer != NULL && encoding != NULL && errors != NULL
                && Py_TYPE(buffer) == c.buffer_type;
    // open(path, "r") decodes strictly, in the encoding of the locale.
    if (serve == 1) {
        serve = names_utf8(encoding);
    }
    PyObject *decoder = NULL;
    if (serve == 1) {
        serve = text_file_is_fresh(file, buffer, encoding, errors, &decoder);
    }
    if (serve == 1) {
        // From 3.11 the decoder's attribute dictionary may be made here,
        // which may collect garbage and so run code: the decoder is held,
        // and the file must still be as it was afterwards.
        Py_INCREF(decoder);
        PyObject *dict = NULL, *again = NULL;
        serve = support::existing_instance_dict(decoder, &dict) < 0 ? -1
                : text_file_is_fresh(file, buffer, encoding, errors, &again)
                    && again == decoder && decoder_is_plain(decoder, dict);
        Py_XDECREF(dict);
        Py_DECREF(decoder);
    }
    Py_XDECREF(errors);
    Py_XDECREF(encoding);
    if (serve == 1) {
        serve = nobody_watching(t, &c.decode_code, 1);
    }
    if (serve == 1) {
        PyObject *seekable = PyObject_CallOneArg(c.seekable, buffer);
        serve = seekable == NULL ? -1 : seekable == Py_True;
        Py_XDECREF(seekable);
    }
    if (serve != 1) {
        // A guard that cannot decide leaves the read to readlines(), which
        // meets what failed here, if anything, in its own way.
        PyErr_Clear();
        Py_CLEAR(buffer);
    }
    return buffer;
}

namespace {

/// Where the bytes [0, n) of `data` end their last line: one past its last
/// '\n', or 0 when there is none after `from`, before which there is none.
Py_ssize_t
last_line_end(const char *data, Py_ssize_t from, Py_ssize_t n) noexcept
{
    for (Py_ssize_t i = n; i > from; i--) {
        if (data[i - 1] == '\n') {
            return i;
        }
    }
    return 0;
}

/// The chunks of a file being read: each a bytes object that ends where a
/// line ends ("\n" ends every line form, "\r\n" included), but the last.
/// The chunk being filled is `open`, [0, filled) read and [0, checked) of
/// it proved UTF-8.
struct Chunks {
    PyObject *list = nullptr;
    PyObject *open = nullptr;
    Py_ssize_t filled = 0, checked = 0;
    // No '\n' in [0, searched) of `open`.
    Py_ssize_t searched = 0;

    /// Makes room in the full chunk `open` for `expected` bytes more: it
    /// closes at its last line's end, what follows moving to a new chunk,
    /// or grows when it holds no line's end. 0, or -1 with an exception.
    int
    make_room(Py_ssize_t expected) noexcept
    {
        char *data = PyBytes_AS_STRING(open);
        Py_ssize_t cut = last_line_end(data, searched, filled);
        searched = filled;
        if (cut == 0) {
            return _PyBytes_Resize(&open, filled + filled / 2 + read_piece);
        }
        Py_ssize_t rest = filled - cut;
        // What is left unchecked is part of a character, with no '\n'.
        assert(cut <= checked);
        // `expected` is never 0: the chunk has room for one byte more.
        PyObject *next = PyBytes_FromStringAndSize(
            NULL, rest + std::min(expected, chunk_bytes));
        if (next == NULL) {
            return -1;
        }
        std::memcpy(PyBytes_AS_STRING(next), data + cut, (std::size_t)rest);
        if (close(cut) < 0) {
            Py_DECREF(next);
            return -1;
        }
        open = next;
        filled = rest;
        checked -= cut;  // the bytes checked reach past the line's end
        searched = rest;
        return 0;
    }

    /// Ends `open` at `size` bytes and adds it to the list: 0, or -1 with
    /// an exception set (`open` is then freed).
    int
    close(Py_ssize_t size) noexcept
    {
        PyObject *chunk = open;
        open = nullptr;
        if (_PyBytes_Resize(&chunk, size) < 0) {
            return -1;
        }
        int added = PyList_Append(list, chunk);
        Py_DECREF(chunk);
        return added;
    }
};

/// Reads the rest of `buffer` into `chunks`, about `expected` bytes, and
/// checks the bytes as they come: 1 at the end with all bytes UTF-8, 2
/// when they are not or an exception waits for the thread, -1 with an
/// exception set.
int
read_rest(PyObject *buffer, Chunks &chunks, Py_ssize_t expected,
          PyThreadState *t) noexcept
{
    int state = 0;
    while (state == 0) {
        Py_ssize_t room = PyBytes_GET_SIZE(chunks.open) - chunks.filled;
        if (room == 0) {
            if (chunks.make_room(expected) < 0) {
                return -1;
            }
            room = PyBytes_GET_SIZE(chunks.open) - chunks.filled;
        }
        Py_ssize_t got = read_into(
            buffer, PyBytes_AS_STRING(chunks.open) + chunks.filled,
            std::min(room, read_piece));
        if (got < 0) {
            return got == -2 ? 2 : -1;
        }
        chunks.filled += got;
        expected = expected > got ? expected - got : read_piece;
        state = check_pieces(PyBytes_AS_STRING(chunks.open), &chunks.checked,
                             chunks.filled, got == 0, t);
    }
    return state;
}

}  // namespace

PyObject *
read_file_bytes(PyObject *buffer, PyThreadState *t) noexcept
{
    const FileCapture &c = captured_file;
    PyObject *start = PyObject_CallOneArg(c.tell, buffer);
    if (start == NULL) {
        return NULL;
    }
    bool whole;
    // What is left to read, as far as the file's size tells.
    Py_ssize_t expected = size_hint(buffer, start, &whole);
    Chunks chunks;
    chunks.list = expected < 0 ? NULL : PyList_New(0);
    if (chunks.list != NULL) {
        chunks.open =
            whole ? PyObject_CallOneArg(c.read, buffer)
                  : PyBytes_FromStringAndSize(NULL,
                                              std::min(expected, chunk_bytes));
    }
    int state = chunks.open == NULL ? -1 : 0;  // 1 at the end, 2 to leave
    if (state == 0 && whole) {
        // The buffer's own read() gives exact bytes, all of the rest.
        chunks.filled = PyBytes_GET_SIZE(chunks.open);
        state = check_pieces(PyBytes_AS_STRING(chunks.open), &chunks.checked,
                             chunks.filled, true, t);
    }
    else if (state == 0) {
        state = read_rest(buffer, chunks, expected, t);
    }
    if (state == 1 && chunks.close(chunks.filled) < 0) {
        state = -1;
    }
    if (state == 1) {
        Py_DECREF(start);
        return chunks.list;
    }
    Py_CLEAR(chunks.open);
    Py_CLEAR(chunks.list);
    if (state != -1) {
        // Back to where reading began, by the buffer alone: the text file
        // holds nothing of it, and its decoder has seen nothing.
        PyObject *args[2] = {buffer, start};
        PyObject *at = PyObject_Vectorcall(c.seek, args, 2, NULL);
        Py_XDECREF(at);
    }
    Py_DECREF(start);
    return NULL;
}

PyObject *
text_of_utf8(const char *s, Py_ssize_t n) noexcept
{
    // Empty and one-character texts come from the decoder, which gives the
    // interpreter's shared objects for them.
    if (n > 1 && is_ascii(s, n)) {
        PyObject *text = PyUnicode_New(n, 127);
        if (text != NULL) {
            std::memcpy(PyUnicode_1BYTE_DATA(text), s, (std::size_t)n);
        }
        return text;
    }
    // The interpreter keeps a text in the narrowest width that holds its
    // largest character, which the largest first byte tells: up to 0xC3
    // U+00FF, below 0xF0 U+FFFF.
    const unsigned char *u = (const unsigned char *)s;
    Py_ssize_t length = 0;
    unsigned char largest = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        length += (u[i] & 0xC0) != 0x80;
        largest = std::max(largest, u[i]);
    }
    if (length <= 1) {
        return PyUnicode_DecodeUTF8(s, n, NULL);
    }
    Py_UCS4 bound = largest < 0xC4 ? 0xFF : largest < 0xF0 ? 0xFFFF : 0x10FFFF;
    PyObject *text = PyUnicode_New(length, bound);
    if (text == NULL) {
        return NULL;
    }
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        decode_into(PyUnicode_1BYTE_DATA(text), u, n);
        break;
    case PyUnicode_2BYTE_KIND:
        decode_into(PyUnicode_2BYTE_DATA(text), u, n);
        break;
    default:
        decode_into(PyUnicode_4BYTE_DATA(text), u, n);
        break;
    }
    return text;
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
