// A stack of trivially copyable items that lives inline up to N items and
// moves to the heap beyond, so that a typical call allocates nothing for
// its bookkeeping.
//
//     vel::SmallStack<Frame, 16> frames;
//     if (!frames.push(Frame{...})) { /* MemoryError is set */ }
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace vel {

template <class T, size_t N>
class SmallStack {
    static_assert(std::is_trivially_copyable_v<T>, "items are moved with memcpy");
    static_assert(N > 0, "needs room for at least one item inline");

public:
    SmallStack() = default;
    SmallStack(const SmallStack &) = delete;
    SmallStack &operator=(const SmallStack &) = delete;
    ~SmallStack()
    {
        if (data_ != inline_) {
            PyMem_Free(data_);
        }
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T &back() { return data_[size_ - 1]; }
    T &operator[](size_t i) { return data_[i]; }
    const T &operator[](size_t i) const { return data_[i]; }
    void pop() { --size_; }

    // false with MemoryError set when the stack cannot grow.  References
    // to items do not survive a push.
    bool push(const T &item)
    {
        if (size_ == capacity_ && !grow()) {
            return false;
        }
        data_[size_++] = item;
        return true;
    }

private:
    bool grow()
    {
        size_t capacity = capacity_ * 2;
        T *data = capacity <= PY_SSIZE_T_MAX / sizeof(T) ? static_cast<T *>(PyMem_Malloc(capacity * sizeof(T)))
                                                         : nullptr;
        if (data == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(static_cast<void *>(data), data_, size_ * sizeof(T));
        if (data_ != inline_) {
            PyMem_Free(data_);
        }
        data_ = data;
        capacity_ = capacity;
        return true;
    }

    T inline_[N];
    T *data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = N;
};

}  // namespace vel
