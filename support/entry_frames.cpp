#include "entry_frames.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "interpreter.hpp"

namespace fernlake::support {

namespace {

/// A frame kept for reuse, with what it was made for and its bytes as
/// they were then.
struct Kept {
    PyFrameObject *frame = nullptr;  // held; it holds `code` and `globals`
    PyObject *code = nullptr;
    PyObject *globals = nullptr;
    unsigned char *image = nullptr;
};

// One kept frame for each of as many codes, found by the code's address; a
// code whose place is taken gets a new frame at each failure.
constexpr std::size_t places = 128;
Kept kept[places];

Kept &
place_of(PyObject *code) noexcept
{
    return kept[((std::uintptr_t)code / alignof(PyObject)) % places];
}

/// True when the kept frame can serve as a new one: only this store holds
/// it, so no traceback or caller can see it again, and none has changed
/// it while it could.
bool
reusable(const Kept &k, PyObject *code, PyObject *globals) noexcept
{
    return !new_frames_link_caller && k.frame != nullptr && k.code == code
           && k.globals == globals
           && Py_REFCNT(k.frame) == 1
           && std::memcmp(frame_image(k.frame), k.image,
                          frame_image_size(k.frame))
                  == 0;
}

/// Keeps `frame` (borrowed) in `k` in place of what it held. Without
/// memory for the image, nothing is kept.
void
keep(Kept &k, PyFrameObject *frame, PyObject *code, PyObject *globals) noexcept
{
    std::size_t size = frame_image_size(frame);
    auto *image = (unsigned char *)PyMem_Realloc(k.image, size);
    if (image == nullptr) {
        return;
    }
    std::memcpy(image, frame_image(frame), size);
    Py_INCREF(frame);
    PyFrameObject *old = k.frame;
    k = Kept{frame, code, globals, image};
    Py_XDECREF(old);
}

}  // namespace

PyFrameObject *
entry_frame(PyObject *code, PyObject *globals) noexcept
{
    Kept &k = place_of(code);
    if (reusable(k, code, globals)) {
        Py_INCREF(k.frame);
        return k.frame;
    }
    PyFrameObject *frame = new_frame(code, globals);
    if (frame != nullptr && !new_frames_link_caller) {
        keep(k, frame, code, globals);
    }
    return frame;
}

}  // namespace fernlake::support
