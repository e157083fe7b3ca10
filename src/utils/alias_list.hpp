// AliasList: singly linked instruction lists whose tails are shared, with nodes kept in an arena.
#pragma once

#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "circ/mod.hpp"

namespace brimsel {

// 12 bytes: the tail pointer is kept in bytes beside the 4-byte instruction,
// so that a node takes no padding (one node per stored circuit adds up).
struct AliasCons {
    Instr32 head;
    unsigned char tail_bytes[sizeof(const void*)];

    const AliasCons* tail() const noexcept {
        const AliasCons* t;
        std::memcpy(&t, tail_bytes, sizeof t);
        return t;
    }
    void set_tail(const AliasCons* t) noexcept { std::memcpy(tail_bytes, &t, sizeof t); }
};
static_assert(sizeof(void*) != 8 || sizeof(AliasCons) == 12);

// Owns the nodes of many lists. A list is valid as long as its arena lives;
// holders share the arena (std::shared_ptr) so that a list can outlive the
// value that made it. Deleted nodes are reused by later conses.
class AliasArena {
public:
    AliasArena() = default;
    AliasArena(const AliasArena&) = delete;
    AliasArena& operator=(const AliasArena&) = delete;

    AliasCons* alloc(Instr32 head, const AliasCons* tail) {
        AliasCons* n;
        if (free_) {
            n = free_;
            free_ = const_cast<AliasCons*>(free_->tail());
        } else {
            if (used_ == kBlock || blocks_.empty()) {
                blocks_.push_back(std::make_unique<AliasCons[]>(kBlock));
                used_ = 0;
            }
            n = &blocks_.back()[used_++];
        }
        n->head = head;
        n->set_tail(tail);
        ++live_;
        return n;
    }
    void free(const AliasCons* node) noexcept {
        auto* n = const_cast<AliasCons*>(node);
        n->set_tail(free_);
        free_ = n;
        --live_;
    }
    std::size_t live() const noexcept { return live_; }
    std::size_t capacity() const noexcept { return blocks_.size() * kBlock; }

private:
    static constexpr std::size_t kBlock = 4096;
    std::vector<std::unique_ptr<AliasCons[]>> blocks_;
    std::size_t used_ = 0;
    AliasCons* free_ = nullptr;
    std::size_t live_ = 0;
};

// Newest instruction first: the head is the last instruction added.
class AliasList {
public:
    constexpr AliasList() noexcept = default;
    explicit constexpr AliasList(const AliasCons* node) noexcept : node_(node) {}

    static AliasList cons(AliasArena& arena, AliasList tail, Instr32 instr) {
        return AliasList(arena.alloc(instr, tail.node_));
    }
    // Frees the head node only; the tail is untouched.
    void delete_head(AliasArena& arena) noexcept {
        if (node_) arena.free(node_);
        node_ = nullptr;
    }

    bool empty() const noexcept { return node_ == nullptr; }
    const AliasCons* node() const noexcept { return node_; }
    std::optional<Instr32> head() const noexcept {
        if (!node_) return std::nullopt;
        return node_->head;
    }
    AliasList tail() const noexcept { return AliasList(node_ ? node_->tail() : nullptr); }

    class Iter {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Instr32;
        using difference_type = std::ptrdiff_t;
        using pointer = const Instr32*;
        using reference = Instr32;
        Iter() noexcept = default;
        explicit Iter(const AliasCons* n) noexcept : n_(n) {}
        Instr32 operator*() const noexcept { return n_->head; }
        Iter& operator++() noexcept {
            n_ = n_->tail();
            return *this;
        }
        Iter operator++(int) noexcept {
            Iter r = *this;
            n_ = n_->tail();
            return r;
        }
        bool operator==(const Iter& o) const noexcept { return n_ == o.n_; }

    private:
        const AliasCons* n_ = nullptr;
    };
    Iter begin() const noexcept { return Iter(node_); }
    Iter end() const noexcept { return Iter(nullptr); }

    std::size_t size() const noexcept {
        std::size_t n = 0;
        for (const AliasCons* p = node_; p; p = p->tail()) ++n;
        return n;
    }
    // The instructions in circuit order (oldest first).
    std::vector<Instr32> to_vec() const {
        std::vector<Instr32> v;
        for (Instr32 i : *this) v.push_back(i);
        return {v.rbegin(), v.rend()};
    }

    friend bool operator==(AliasList a, AliasList b) noexcept { return a.node_ == b.node_; }

private:
    const AliasCons* node_ = nullptr;
};

}  // namespace brimsel
