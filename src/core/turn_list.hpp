// The list of turning points, kept in blocks.  A layer that turns at almost
// every sample makes millions of records: in one growing vector each
// doubling copies every record made so far into fresh memory, which the
// kernel must zero first (on a jittery layer most of the call's time went
// there), and joining the segments of a parallel pass copied them all once
// more.  Here a record is written once: blocks grow geometrically up to a
// cap and are never moved, the segments' lists are joined by handing their
// blocks over, and each block carries the shift of its records' point
// numbers, so that the join renumbers a segment without touching it.
//
// Records are read in path order (the threshold, the label walk) through
// for_each or the iterator; operator[] looks the block up and is for the
// few places (tests, the join's pending turns) that need one record.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <utility>
#include <vector>

#include "memory.hpp"

namespace rastermark {

template <class Record>
class TurnList {
public:
    TurnList() = default;
    TurnList(std::initializer_list<Record> records) {
        for (const Record& r : records) push_back(r);
    }
    TurnList(TurnList&& other) noexcept { *this = std::move(other); }
    TurnList& operator=(TurnList&& other) noexcept {
        blocks_ = std::move(other.blocks_);
        size_ = std::exchange(other.size_, 0);
        tail_ = std::exchange(other.tail_, nullptr);
        tail_room_ = std::exchange(other.tail_room_, 0);
        other.blocks_.clear();
        return *this;
    }
    TurnList(const TurnList& other) { *this = other; }
    TurnList& operator=(const TurnList& other) {
        if (this == &other) return *this;
        clear();
        other.for_each([&](const Record& r) { push_back(r); });
        return *this;
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { *this = TurnList(); }

    void push_back(const Record& record) {
        if (tail_room_ == 0) open_block();
        Block& block = blocks_.back();
        *tail_++ = record;
        --tail_room_;
        ++block.end;
        ++size_;
        // (A renumbering closes the tail block: records added after it are
        // not shifted.)
    }

    // The record at position i, its point number shifted.
    Record operator[](std::size_t i) const {
        const auto [b, offset] = locate(i);
        Record r = blocks_[b].records[blocks_[b].begin + offset];
        r.index += blocks_[b].index_shift;
        return r;
    }

    // Replaces the record at position i (its point number as read).
    void replace(std::size_t i, Record record) {
        const auto [b, offset] = locate(i);
        Block& block = blocks_[b];
        record.index -= block.index_shift;
        block.records[block.begin + offset] = record;
    }

    // Removes the record at position i (the join drops at most one turn per
    // segment, among its first few).
    void erase(std::size_t i) {
        const auto [b, offset] = locate(i);
        Block& block = blocks_[b];
        const auto first = block.records.begin() + static_cast<std::ptrdiff_t>(block.begin);
        std::move_backward(first, first + static_cast<std::ptrdiff_t>(offset),
                           first + static_cast<std::ptrdiff_t>(offset) + 1);
        ++block.begin;
        --size_;
    }

    // Adds `shift` to every record's point number.
    void shift_indices(std::size_t shift) {
        for (Block& block : blocks_) block.index_shift += shift;
        tail_room_ = 0;  // the records added from now on go unshifted into a block of their own
        tail_ = nullptr;
    }

    // Appends the records of `other`, taking its blocks over.
    void splice(TurnList&& other) {
        for (Block& block : other.blocks_) {
            if (block.end > block.begin) blocks_.push_back(std::move(block));
        }
        size_ += other.size_;
        tail_room_ = 0;  // a new block for any later record
        tail_ = nullptr;
        other.clear();
    }

    // Calls f(record) for each record in order, its point number shifted.
    template <class F>
    void for_each(F&& f) const {
        for (const Block& block : blocks_) {
            for (std::size_t k = block.begin; k < block.end; ++k) {
                Record r = block.records[k];
                r.index += block.index_shift;
                f(r);
            }
        }
    }

    // Calls f(record) with each stored record in order, by reference (the
    // records stay where they are while the list is not changed), with its
    // point number as stored: for walks that do not read it.
    template <class F>
    void for_each_stored(F&& f) const {
        for (const Block& block : blocks_) {
            for (std::size_t k = block.begin; k < block.end; ++k) f(block.records[k]);
        }
    }

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Record;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = Record;

        const_iterator() = default;
        const_iterator(const TurnList* list, std::size_t block, std::size_t k) : list_(list), block_(block), k_(k) {
            settle();
        }
        Record operator*() const {
            const Block& block = list_->blocks_[block_];
            Record r = block.records[k_];
            r.index += block.index_shift;
            return r;
        }
        const_iterator& operator++() {
            ++k_;
            settle();
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const const_iterator& other) const { return block_ == other.block_ && k_ == other.k_; }

    private:
        // Moves past empty stretches to the next record, or to the end.
        void settle() {
            while (block_ < list_->blocks_.size() && k_ >= list_->blocks_[block_].end) {
                ++block_;
                k_ = block_ < list_->blocks_.size() ? list_->blocks_[block_].begin : 0;
            }
        }
        const TurnList* list_ = nullptr;
        std::size_t block_ = 0;
        std::size_t k_ = 0;
    };

    const_iterator begin() const { return {this, 0, blocks_.empty() ? 0 : blocks_[0].begin}; }
    const_iterator end() const { return {this, blocks_.size(), 0}; }

private:
    // Block capacities: the first small (most layers turn rarely), each next
    // twice the last, up to a cap that keeps a block's worth of unused room
    // small next to a list of that size.
    static constexpr std::size_t first_block = 256;
    static constexpr std::size_t largest_block = std::size_t{1} << 17;

    struct Block {
        std::vector<Record, UnwrittenHugePageAllocator<Record>> records;  // all of capacity, written up to end
        std::size_t begin = 0;
        std::size_t end = 0;
        std::size_t index_shift = 0;
    };

    [[gnu::noinline]] void open_block() {
        const std::size_t capacity =
            blocks_.empty() ? first_block : std::min(largest_block, 2 * blocks_.back().records.size());
        Block block;
        block.records.resize(capacity);
        blocks_.push_back(std::move(block));
        tail_ = blocks_.back().records.data();
        tail_room_ = capacity;
    }

    std::pair<std::size_t, std::size_t> locate(std::size_t i) const {
        for (std::size_t b = 0; b < blocks_.size(); ++b) {
            const std::size_t held = blocks_[b].end - blocks_[b].begin;
            if (i < held) return {b, i};
            i -= held;
        }
        return {blocks_.size(), 0};  // past the end: never asked for
    }

    std::vector<Block> blocks_;
    std::size_t size_ = 0;
    Record* tail_ = nullptr;
    std::size_t tail_room_ = 0;
};

}  // namespace rastermark
