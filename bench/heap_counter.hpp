#pragma once
// Heap accounting for a benchmark: replaces the global operator new / delete with counting ones.
// heap_now is the heap in use (usable sizes of live blocks), heap_peak its high-water mark;
// reset the mark with heap_peak.store(heap_now.load()) before the stretch to measure.
// Include from one translation unit of an executable only: it defines the replacements.

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::int64_t> heap_now{0};
std::atomic<std::int64_t> heap_peak{0};
// Off: no accounting at all (for timings that allocate a lot). Switch only before measuring.
std::atomic<bool> heap_counting{true};

void* counted_alloc(std::size_t n) {
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr) throw std::bad_alloc();
    if (!heap_counting.load(std::memory_order_relaxed)) return p;
    const auto size = static_cast<std::int64_t>(malloc_usable_size(p));
    const std::int64_t now = heap_now.fetch_add(size, std::memory_order_relaxed) + size;
    std::int64_t peak = heap_peak.load(std::memory_order_relaxed);
    while (now > peak && !heap_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return p;
}

// Aligned blocks (large arrays placed on huge-page boundaries), counted the same way.
void* counted_aligned_alloc(std::size_t n, std::align_val_t al) {
    const auto align = static_cast<std::size_t>(al);
    void* p = std::aligned_alloc(align, (std::max<std::size_t>(n, 1) + align - 1) & ~(align - 1));
    if (p == nullptr) throw std::bad_alloc();
    if (!heap_counting.load(std::memory_order_relaxed)) return p;
    const auto size = static_cast<std::int64_t>(malloc_usable_size(p));
    const std::int64_t now = heap_now.fetch_add(size, std::memory_order_relaxed) + size;
    std::int64_t peak = heap_peak.load(std::memory_order_relaxed);
    while (now > peak && !heap_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return p;
}

void counted_free(void* p) noexcept {
    if (p == nullptr) return;
    if (heap_counting.load(std::memory_order_relaxed))
        heap_now.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
    std::free(p);
}
}  // namespace

void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void* operator new(std::size_t n, std::align_val_t al) { return counted_aligned_alloc(n, al); }
void* operator new[](std::size_t n, std::align_val_t al) { return counted_aligned_alloc(n, al); }
void operator delete(void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
