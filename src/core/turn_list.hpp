// The list of turning points, kept compact and in blocks.  A layer that
// turns at almost every sample makes millions of records, so each keeps only
// what the labels read: its two distances, its samples, and whether the legs
// into it reverse (the only use the labels make of a turn's position).  A
// turn of float64 takes 24 bytes (float32: 16) instead of the 56 its full
// record has; the line distances are kept apart from the rest, so that the
// threshold reads a third of the list.
//
// The samples are stored as 32-bit offsets from the first sample of the
// block, with the reversal in the lowest bit of the end's: a block is closed
// when a turn reaches 2^31 samples past its first, and a turn that spans
// that many on its own sits alone in a block that holds its end.  Blocks
// grow geometrically up to a cap and are never moved (in one growing vector
// each doubling would copy every record made so far into fresh memory, which
// the kernel must zero first), and the segments' lists are joined by
// handing their blocks over.
//
// Records are read in path order (the threshold, the label walk) through
// for_each or the iterator; operator[] looks the block up and is for tests.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <utility>
#include <vector>

#include "memory.hpp"
#include "records.hpp"

namespace rastermark {

template <class T>
struct Leg {
    T dx;
    T dy;
};

template <class T>
Leg<T> leg(const TurningPoint<T>& from, const TurningPoint<T>& to) {
    return {to.x - from.x, to.y - from.y};
}

// Two legs reverse when the angle between them exceeds 150 degrees, tested
// through the squared cosine (0.75) so that no square root is taken.
template <class T>
bool is_reversal(Leg<T> u, Leg<T> v) {
    const T dot = u.dx * v.dx + u.dy * v.dy;
    if (!(dot < T(0))) return false;
    const T norms = (u.dx * u.dx + u.dy * u.dy) * (v.dx * v.dx + v.dy * v.dy);
    return dot * dot > norms * T(0.75);
}

// A turn as the list gives it back.  `reverses_back`: whether the leg from
// the turn two places before to the one before and the leg from there to
// this turn reverse (false for the first two turns of the list).
template <class T>
struct KeptTurn {
    T d_same;
    T d_line;
    std::size_t start_idx;
    std::size_t end_idx;
    bool reverses_back;

    bool operator==(const KeptTurn&) const = default;
};

// `span_limit`: the samples a block's offsets reach (a power of two, at most
// 2^31); smaller only in tests, to cross block seams with short inputs.
template <class T, std::size_t span_limit = std::size_t{1} << 31>
class TurnList {
    static_assert(span_limit >= 2 && span_limit <= (std::size_t{1} << 31));

public:
    TurnList() = default;
    TurnList(std::initializer_list<TurningPoint<T>> turns) {
        for (const TurningPoint<T>& t : turns) push_back(t);
    }
    TurnList(TurnList&& other) noexcept { *this = std::move(other); }
    TurnList& operator=(TurnList&& other) noexcept {
        blocks_ = std::move(other.blocks_);
        size_ = std::exchange(other.size_, 0);
        tail_ = std::exchange(other.tail_, nullptr);
        tail_line_ = std::exchange(other.tail_line_, nullptr);
        tail_room_ = std::exchange(other.tail_room_, 0);
        base_ = other.base_;
        latest_ = other.latest_;
        other.blocks_.clear();
        return *this;
    }
    TurnList(const TurnList& other) { *this = other; }
    TurnList& operator=(const TurnList& other) {
        if (this == &other) return *this;
        // (Block by block, the records written only: the rest of a block's
        // room is unwritten.)
        blocks_.clear();
        for (const Block& block : other.blocks_) {
            Block copy;
            const auto from = static_cast<std::ptrdiff_t>(block.begin), to = static_cast<std::ptrdiff_t>(block.end);
            copy.records.assign(block.records.begin() + from, block.records.begin() + to);
            copy.lines.assign(block.lines.begin() + from, block.lines.begin() + to);
            copy.end = copy.records.size();
            copy.base = block.base;
            copy.wide_end = block.wide_end;
            blocks_.push_back(std::move(copy));
        }
        size_ = other.size_;
        latest_ = other.latest_;
        close_tail();
        return *this;
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { *this = TurnList(); }

    // Appends a turn, judging its legs against the two turns appended last.
    void push_back(const TurningPoint<T>& turn) {
        const bool reverses = size_ >= 2 && is_reversal(leg(latest_[0], latest_[1]), leg(latest_[1], turn));
        if (tail_room_ == 0 || turn.start_idx < base_ || turn.end_idx - base_ >= span_limit) [[unlikely]] {
            open_block(turn);
        }
        const Block& block = blocks_.back();
        const std::size_t end_offset = block.wide_end == 0 ? turn.end_idx - block.base : 0;
        *tail_++ = {turn.d_same, static_cast<std::uint32_t>(turn.start_idx - block.base),
                    static_cast<std::uint32_t>(end_offset << 1 | (reverses ? 1u : 0u))};
        *tail_line_++ = turn.d_line;
        --tail_room_;
        ++blocks_.back().end;
        ++size_;
        latest_[0] = latest_[1];
        latest_[1] = turn;
    }

    // Drops the first `count` turns (at most size()).
    void drop_front(std::size_t count) {
        size_ -= count;
        for (Block& block : blocks_) {
            const std::size_t here = std::min(count, block.end - block.begin);
            block.begin += here;
            count -= here;
        }
    }

    // Appends the turns of `other`, taking its blocks over.  Its turns keep
    // the reversal `other` gave them, so the legs into its first two must
    // not cross the seam: the caller has dropped two or more of `other`'s
    // first turns (or all of them) and appended them itself, last the two
    // before the turns that remain.
    void splice(TurnList&& other) {
        for (Block& block : other.blocks_) {
            if (block.end > block.begin) blocks_.push_back(std::move(block));
        }
        if (!other.empty()) latest_ = other.latest_;
        size_ += other.size_;
        close_tail();
        other.clear();
    }

    // The turn at position i.
    KeptTurn<T> operator[](std::size_t i) const {
        for (const Block& block : blocks_) {
            const std::size_t held = block.end - block.begin;
            if (i < held) return block.decode(block.begin + i);
            i -= held;
        }
        return {};  // past the end: never asked for
    }

    // Calls f(turn) for each turn in order.
    template <class F>
    void for_each(F&& f) const {
        for (const Block& block : blocks_) {
            for (std::size_t k = block.begin; k < block.end; ++k) f(block.decode(k));
        }
    }

    // Calls f(turn) for each turn at positions [first, last), in order.
    template <class F>
    void for_each_in_range(std::size_t first, std::size_t last, F&& f) const {
        std::size_t at = 0;  // the position of the block's first turn
        for (const Block& block : blocks_) {
            const std::size_t held = block.end - block.begin;
            if (at >= last) break;
            if (at + held > first) {
                const std::size_t from = block.begin + (first > at ? first - at : 0);
                const std::size_t to = block.begin + std::min(held, last - at);
                for (std::size_t k = from; k < to; ++k) f(block.decode(k));
            }
            at += held;
        }
    }

    // Calls f(d_line) for the line distance of each turn of part `part` of
    // `parts`, in order: the blocks cut into that many runs of about equal
    // length (some empty where there are fewer blocks).
    template <class F>
    void for_each_line_distance_in_part(std::size_t part, std::size_t parts, F&& f) const {
        const std::size_t first = blocks_.size() * part / parts;
        const std::size_t last = blocks_.size() * (part + 1) / parts;
        for (std::size_t b = first; b < last; ++b) {
            const Block& block = blocks_[b];
            for (std::size_t k = block.begin; k < block.end; ++k) f(block.lines[k]);
        }
    }

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = KeptTurn<T>;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = KeptTurn<T>;

        const_iterator() = default;
        const_iterator(const TurnList* list, std::size_t block, std::size_t k) : list_(list), block_(block), k_(k) {
            settle();
        }
        KeptTurn<T> operator*() const {
            const Block& block = list_->blocks_[block_];
            return block.decode(k_);
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
    // small next to a list of that size.  At the cap a float64 block's
    // records take 4 MiB, which the allocator asks huge pages for: a list of
    // millions of turns faulted 4 KiB at a time cost 7% more.
    static constexpr std::size_t first_block = 256;
    static constexpr std::size_t largest_block = std::size_t{1} << 18;

    // The line distances apart from the rest, for the threshold, which
    // reads them alone.
    struct Stored {
        T d_same;
        std::uint32_t start_offset;
        std::uint32_t end_offset_and_reversal;
    };

    struct Block {
        std::vector<Stored, UnwrittenHugePageAllocator<Stored>> records;  // all of capacity, written up to end
        std::vector<T, UnwrittenHugePageAllocator<T>> lines;              // the same
        std::size_t begin = 0;
        std::size_t end = 0;
        std::size_t base = 0;      // the sample the offsets count from
        std::size_t wide_end = 0;  // the end of the one turn of a block for a turn too wide for offsets, else 0

        KeptTurn<T> decode(std::size_t k) const {
            const Stored& r = records[k];
            const std::size_t end_idx = wide_end != 0 ? wide_end : base + (r.end_offset_and_reversal >> 1);
            return {r.d_same, lines[k], base + r.start_offset, end_idx, (r.end_offset_and_reversal & 1u) != 0};
        }
    };

    // A block whose offsets count from `turn`'s first sample.
    [[gnu::noinline]] void open_block(const TurningPoint<T>& turn) {
        const bool wide = turn.end_idx - turn.start_idx >= span_limit;
        std::size_t capacity = 1;
        if (!wide) {
            const std::size_t last = blocks_.empty() ? 0 : blocks_.back().records.size();
            capacity = std::clamp(2 * last, first_block, largest_block);
        }
        Block block;
        block.records.resize(capacity);
        block.lines.resize(capacity);
        block.base = turn.start_idx;
        block.wide_end = wide ? turn.end_idx : 0;
        blocks_.push_back(std::move(block));
        tail_ = blocks_.back().records.data();
        tail_line_ = blocks_.back().lines.data();
        tail_room_ = capacity;
        base_ = turn.start_idx;
    }

    // Later turns go into a block of their own (the tail block may be
    // another list's, or shared with a copy).
    void close_tail() {
        tail_ = nullptr;
        tail_line_ = nullptr;
        tail_room_ = 0;
    }

    std::vector<Block> blocks_;
    std::size_t size_ = 0;
    Stored* tail_ = nullptr;
    T* tail_line_ = nullptr;
    std::size_t tail_room_ = 0;
    std::size_t base_ = 0;     // the tail block's base
    std::array<TurningPoint<T>, 2> latest_{};  // the turns appended or handed over last, the latest second
};

}  // namespace rastermark
