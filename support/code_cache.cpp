#include "code_cache.hpp"

#include <cstring>

namespace fernlake::support {

int
CodeCache::bisect(int key) const noexcept
{
    int n = count_;
    if (key > entries_[n - 1].key) {
        return n;
    }
    int lo = 0, hi = n - 1, mid = 0;
    while (lo < hi) {
        mid = lo + (hi - lo) / 2;
        if (key < entries_[mid].key) {
            hi = mid;
        }
        else if (key > entries_[mid].key) {
            lo = mid + 1;
        }
        else {
            return mid;
        }
    }
    return key <= entries_[mid].key ? mid : mid + 1;
}

PyObject *
CodeCache::find(int key) const noexcept
{
    if (key == 0 || entries_ == nullptr) {
        return NULL;
    }
    int pos = bisect(key);
    if (pos >= count_ || entries_[pos].key != key) {
        return NULL;
    }
    Py_INCREF(entries_[pos].code);
    return entries_[pos].code;
}

void
CodeCache::insert(int key, PyObject *code) noexcept
{
    if (key == 0) {
        return;
    }
    if (entries_ == nullptr) {
        Entry *fresh = (Entry *)PyMem_Malloc(growth * sizeof(Entry));
        if (fresh == nullptr) {
            return;
        }
        Py_INCREF(code);
        fresh[0] = Entry{key, code};
        entries_ = fresh;
        count_ = 1;
        capacity_ = growth;
        return;
    }
    int pos = bisect(key);
    if (pos < count_ && entries_[pos].key == key) {
        Py_INCREF(code);
        Py_SETREF(entries_[pos].code, code);
        return;
    }
    if (count_ == capacity_) {
        int grown = capacity_ + growth;
        Entry *moved =
            (Entry *)PyMem_Realloc(entries_, (size_t)grown * sizeof(Entry));
        if (moved == nullptr) {
            return;
        }
        entries_ = moved;
        capacity_ = grown;
    }
    std::memmove(&entries_[pos + 1], &entries_[pos],
                 (size_t)(count_ - pos) * sizeof(Entry));
    Py_INCREF(code);
    entries_[pos] = Entry{key, code};
    count_++;
}

}  // namespace fernlake::support
