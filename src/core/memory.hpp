// Storage for the core's large arrays (labels, turning points).
#pragma once

#include <cstddef>
#include <new>
#include <utility>

#include "platform.hpp"

namespace rastermark {

// An allocator that asks for transparent huge pages on large blocks: memory
// written for the first time faults once per 2 MiB instead of once per
// 4 KiB, which makes filling a fresh label array several times faster.
// Small blocks come from the ordinary heap.
template <class T>
struct HugePageAllocator {
    using value_type = T;

    static constexpr std::size_t huge_page = std::size_t{2} << 20;
    static constexpr std::size_t threshold = std::size_t{4} << 20;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = count * sizeof(T);
        if (bytes < threshold) return static_cast<T*>(::operator new(bytes));
        void* block = platform::allocate_aligned(bytes, huge_page, true);
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<T*>(block);
    }

    void deallocate(T* block, std::size_t count) noexcept {
        if (count * sizeof(T) < threshold) {
            ::operator delete(block);
        } else {
            platform::free_aligned(block);
        }
    }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
};

// The same storage, but resize() leaves new elements of trivial types
// unwritten: for arrays that are filled right after (a branch-free
// compaction writes every slot it may keep before it counts it).
template <class T>
struct UnwrittenHugePageAllocator : HugePageAllocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = UnwrittenHugePageAllocator<U>;
    };

    UnwrittenHugePageAllocator() = default;
    template <class U>
    UnwrittenHugePageAllocator(const UnwrittenHugePageAllocator<U>&) noexcept {}

    template <class U>
    void construct(U* place) noexcept {
        ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Arguments>
    void construct(U* place, Arguments&&... arguments) {
        ::new (static_cast<void*>(place)) U(std::forward<Arguments>(arguments)...);
    }
};

}  // namespace rastermark
