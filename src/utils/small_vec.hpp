// SmallVec: a vector of trivially copyable values whose first N elements live inline.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <type_traits>

#include "panic.hpp"

namespace brimsel {

// The raw classes of a search hold a few gates and usually one circuit each;
// keeping those inline saves an allocation or three per class. The inline
// elements share their storage with the heap pointer, and the capacity follows
// from the size (N up to N elements, then the next power of two), so the
// whole header is one 32-bit count.
template <class T, std::size_t N>
class SmallVec {
    static_assert(std::is_trivially_copyable_v<T> && std::is_default_constructible_v<T>);
    static_assert(N > 0);

public:
    SmallVec() noexcept {}
    SmallVec(std::initializer_list<T> items) {
        for (const T& x : items) push_back(x);
    }
    SmallVec(const SmallVec& o) { assign(o.begin(), o.size_); }
    SmallVec(SmallVec&& o) noexcept { take(o); }
    SmallVec& operator=(const SmallVec& o) {
        if (this != &o) {
            release();
            assign(o.begin(), o.size_);
        }
        return *this;
    }
    SmallVec& operator=(SmallVec&& o) noexcept {
        if (this != &o) {
            release();
            take(o);
        }
        return *this;
    }
    ~SmallVec() { release(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return on_heap() ? heap_ : inline_; }
    const T* data() const noexcept { return on_heap() ? heap_ : inline_; }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }
    T& operator[](std::size_t i) {
        check_index(i, size_);
        return data()[i];
    }
    const T& operator[](std::size_t i) const {
        check_index(i, size_);
        return data()[i];
    }
    const T& back() const {
        check_index(0, size_);
        return data()[size_ - 1];
    }

    // The capacity follows the size; reserving is only a hint.
    void reserve(std::size_t) noexcept {}
    void push_back(const T& x) {
        const T copy = x;  // x may live in this vector
        if (size_ == UINT32_MAX) throw std::bad_alloc();
        if (size_ == capacity_for(size_)) {
            grow();  // at N or more elements: the heap holds them from now on
            heap_[size_++] = copy;
            return;
        }
        data()[size_++] = copy;
    }
    void clear() noexcept {
        release();
        size_ = 0;
    }

    friend bool operator==(const SmallVec& a, const SmallVec& b) noexcept {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    static constexpr std::size_t capacity_for(std::size_t n) noexcept {
        return n <= N ? N : std::bit_ceil(n);
    }
    bool on_heap() const noexcept { return size_ > N; }

    // Full: moves the elements into a block of twice the capacity.
    void grow() {
        const std::size_t cap = capacity_for(size_) * 2;
        T* fresh = new T[cap];
        std::copy(begin(), end(), fresh);
        release();
        heap_ = fresh;
    }
    void assign(const T* items, std::size_t n) {
        if (n > N) {
            heap_ = new T[capacity_for(n)];
            std::copy(items, items + n, heap_);
        } else {
            std::copy(items, items + n, inline_);
        }
        size_ = static_cast<std::uint32_t>(n);
    }
    void take(SmallVec& o) noexcept {
        if (o.on_heap())
            heap_ = o.heap_;
        else
            std::copy(o.inline_, o.inline_ + o.size_, inline_);
        size_ = o.size_;
        o.size_ = 0;
    }
    void release() noexcept {
        if (on_heap()) delete[] heap_;
    }

    union {
        T inline_[N];
        T* heap_;
    };
    std::uint32_t size_ = 0;
};

}  // namespace brimsel
