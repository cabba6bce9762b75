// The process-wide cache of traceback code objects: an array of (key, code
// object) sorted by key, found by bisection and grown in steps of 64.
#ifndef FERNLAKE_SUPPORT_CODE_CACHE_HPP
#define FERNLAKE_SUPPORT_CODE_CACHE_HPP

#include <Python.h>

namespace fernlake::support {

class CodeCache {
  public:
    static constexpr int growth = 64;

    /// New reference: the code object stored under `key`, or null (no
    /// error) when there is none. Key 0 is never stored.
    PyObject *find(int key) const noexcept;

    /// Stores `code` (borrowed; the cache takes its own reference) under
    /// `key`, replacing the code object of the same key. Allocation failures leave
    /// the cache as it was and set no error.
    void insert(int key, PyObject *code) noexcept;

    int
    count() const noexcept
    {
        return count_;
    }
    /// The key of item `i`, for checks of the order.
    int
    key_at(int i) const noexcept
    {
        return items_[i].key;
    }

  private:
    struct Item {
        int key;
        PyObject *code;
    };

    /// Position of the first item whose key is not less than `key`.
    int bisect(int key) const noexcept;

    Item *items_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;
};

}  // namespace fernlake::support

#endif
