#pragma once
// Large arrays in huge pages.
//
// The first write to a fresh page of memory faults, and a fault costs as much as copying several
// kilobytes; on virtual machines with shadow page tables many times more (filling a fresh 100 MB
// array in 4 KiB pages took 430 ms on the benchmark machine, in 2 MiB pages 15 ms). Where
// transparent huge pages are available on request (the usual "madvise" setting), LargeAllocator
// asks for them for arrays of 3 MiB and more: it places them on a 2 MiB boundary and advises
// the kernel before anything is written. Elsewhere the advice is ignored and nothing changes.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace brindlecap::runtime {

inline constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

// Asks for huge pages in the whole 2 MiB blocks of [p, p + bytes).
inline void prefer_huge_pages(const void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t begin = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const std::uintptr_t end = (start + bytes) & ~(HUGE_PAGE - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

// Whether an array of this size goes in huge pages: from 3 MiB on, where rounding it up to whole
// huge pages (what an allocation aligned to them takes) adds at most a third.
inline bool in_huge_pages(std::size_t bytes) noexcept { return bytes >= 3 * (HUGE_PAGE / 2); }

// The bytes an array of this size takes from LargeAllocator.
inline std::size_t large_allocation_bytes(std::size_t bytes) noexcept {
    return in_huge_pages(bytes) ? (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1) : bytes;
}

template <class T>
class LargeAllocator {
public:
    using value_type = T;
    LargeAllocator() noexcept = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (!in_huge_pages(bytes)) return std::allocator<T>().allocate(n);
        void* p = ::operator new(bytes, std::align_val_t(HUGE_PAGE));
        prefer_huge_pages(p, (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1));
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (!in_huge_pages(n * sizeof(T))) return std::allocator<T>().deallocate(p, n);
        ::operator delete(p, std::align_val_t(HUGE_PAGE));
    }

    template <class U>
    bool operator==(const LargeAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// Room for n elements in a vector of another allocator, the whole 2 MiB blocks of it in huge
// pages (the ends stay in small pages). Call before the elements are written.
template <class T, class A>
void reserve_large(std::vector<T, A>& v, std::size_t n) {
    if (n <= v.capacity()) return;
    std::vector<T, A> room;
    room.reserve(n);
    if (in_huge_pages(n * sizeof(T))) prefer_huge_pages(room.data(), room.capacity() * sizeof(T));
    for (T& x : v) room.push_back(std::move(x));
    v.swap(room);
}

}  // namespace brindlecap::runtime
