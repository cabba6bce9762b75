// The frames of traceback entries, kept for reuse: a failure at a point
// where an earlier one failed gets the frame made then, as long as nothing
// could tell it from a new one.
#ifndef FERNLAKE_SUPPORT_ENTRY_FRAMES_HPP
#define FERNLAKE_SUPPORT_ENTRY_FRAMES_HPP

#include <Python.h>
#include <frameobject.h>

namespace fernlake::support {

/// New reference: a frame of `code` with the globals `globals`, for a
/// traceback entry; null with an exception set. It is the frame kept from
/// the last entry of `code` when nothing else holds that frame any more
/// (no traceback, no caller) and it is, byte for byte, as it was made (no
/// trace function set, no locals read, not cleared); else a new frame,
/// which is kept in its place. Before 3.11, where a frame links the frame
/// of its caller, every entry gets a new frame. To be called with no
/// exception pending.
PyFrameObject *entry_frame(PyObject *code, PyObject *globals) noexcept;

}  // namespace fernlake::support

#endif
