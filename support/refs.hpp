// Owned: the one RAII owner of a counted reference.
#ifndef FERNLAKE_SUPPORT_REFS_HPP
#define FERNLAKE_SUPPORT_REFS_HPP

#include <Python.h>

namespace fernlake::support {

/// Holds one counted reference and releases it when it goes out of scope.
/// There is no conversion to `PyObject *`: `get()` borrows, `release()`
/// hands the reference back to the caller.
class Owned {
  public:
    static Owned
    steal(PyObject *p) noexcept
    {
        return Owned(p);
    }
    static Owned
    incref(PyObject *p) noexcept
    {
        Py_XINCREF(p);
        return Owned(p);
    }
    Owned() noexcept = default;
    Owned(Owned &&o) noexcept : p_(o.release()) {}
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    Owned &
    operator=(Owned &&o) noexcept
    {
        reset(o.release());
        return *this;
    }
    ~Owned() { Py_XDECREF(p_); }

    PyObject *
    get() const noexcept
    {
        return p_;
    }
    PyObject *
    release() noexcept
    {
        PyObject *r = p_;
        p_ = nullptr;
        return r;
    }
    /// Stores `p` (stolen) before releasing the old value, as Py_XSETREF.
    void
    reset(PyObject *p) noexcept
    {
        PyObject *old = p_;
        p_ = p;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Owned(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

}  // namespace fernlake::support

#endif
