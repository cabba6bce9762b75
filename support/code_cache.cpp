#include "code_cache.hpp"

#include <cstring>

namespace fernlake::support {

int
CodeCache::bisect(int key) const noexcept
{
    int n = count_;
    if (key > items_[n - 1].key) {
        return n;
    }
    int lo = 0, hi = n - 1, mid = 0;
    while (lo < hi) {
        mid = lo + (hi - lo) / 2;
        if (key < items_[mid].key) {
            hi = mid;
        }
        else if (key > items_[mid].key) {
            lo = mid + 1;
        }
        else {
            return mid;
        }
    }
    return key <= items_[mid].key ? mid : mid + 1;
}

PyObject *
CodeCache::find(int key) const noexcept
{
    if (key == 0 || items_ == nullptr) {
        return NULL;
    }
    int pos = bisect(key);
    if (pos >= count_ || items_[pos].key != key) {
        return NULL;
    }
    Py_INCREF(items_[pos].code);
    return items_[pos].code;
}

void
CodeCache::insert(int key, PyObject *code) noexcept
{
    if (key == 0) {
        return;
    }
    if (items_ == nullptr) {
        Item *fresh = (Item *)PyMem_Malloc(growth * sizeof(Item));
        if (fresh == nullptr) {
            return;
        }
        Py_INCREF(code);
        fresh[0] = Item{key, code};
        items_ = fresh;
        count_ = 1;
        capacity_ = growth;
        return;
    }
    int pos = bisect(key);
    if (pos < count_ && items_[pos].key == key) {
        Py_INCREF(code);
        Py_SETREF(items_[pos].code, code);
        return;
    }
    if (count_ == capacity_) {
        int grown = capacity_ + growth;
        Item *moved =
            (Item *)PyMem_Realloc(items_, (size_t)grown * sizeof(Item));
        if (moved == nullptr) {
            return;
        }
        items_ = moved;
        capacity_ = grown;
    }
    std::memmove(&items_[pos + 1], &items_[pos],
                 (size_t)(count_ - pos) * sizeof(Item));
    Py_INCREF(code);
    items_[pos] = Item{key, code};
    count_++;
}

}  // namespace fernlake::support
