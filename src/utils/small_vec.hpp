// SmallVec: a vector of trivially copyable values whose first N elements live inline.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "panic.hpp"

namespace brimsel {

// The raw classes of a search hold a few gates and usually one circuit each;
// keeping those inline saves an allocation or three per class.
template <class T, std::size_t N>
class SmallVec {
    static_assert(std::is_trivially_copyable_v<T> && std::is_default_constructible_v<T>);
    static_assert(N > 0);

public:
    SmallVec() = default;
    SmallVec(std::initializer_list<T> items) {
        for (const T& x : items) push_back(x);
    }
    SmallVec(const SmallVec& o) { *this = o; }
    SmallVec(SmallVec&& o) noexcept
        : size_(o.size_), cap_(o.cap_), inline_(o.inline_), heap_(std::move(o.heap_)) {
        o.size_ = 0;
        o.cap_ = N;
    }
    SmallVec& operator=(const SmallVec& o) {
        if (this == &o) return *this;
        size_ = 0;
        reserve(o.size_);
        std::copy(o.begin(), o.end(), data());
        size_ = o.size_;
        return *this;
    }
    SmallVec& operator=(SmallVec&& o) noexcept {
        size_ = o.size_;
        cap_ = o.cap_;
        inline_ = o.inline_;
        heap_ = std::move(o.heap_);
        o.size_ = 0;
        o.cap_ = N;
        return *this;
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return heap_ ? heap_.get() : inline_.data(); }
    const T* data() const noexcept { return heap_ ? heap_.get() : inline_.data(); }
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

    void reserve(std::size_t n) {
        if (n <= cap_) return;
        if (n > UINT32_MAX) throw std::bad_alloc();
        auto fresh = std::make_unique_for_overwrite<T[]>(n);
        std::copy(begin(), end(), fresh.get());
        heap_ = std::move(fresh);
        cap_ = static_cast<std::uint32_t>(n);
    }
    void push_back(const T& x) {
        if (size_ == cap_) reserve(std::size_t{cap_} * 2);
        data()[size_++] = x;
    }
    void clear() noexcept { size_ = 0; }

    friend bool operator==(const SmallVec& a, const SmallVec& b) noexcept {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    std::uint32_t size_ = 0;
    std::uint32_t cap_ = N;
    std::array<T, N> inline_{};
    std::unique_ptr<T[]> heap_;
};

}  // namespace brimsel
