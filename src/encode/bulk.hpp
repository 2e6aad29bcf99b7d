// Memory for the large arrays of a batch. A batch writes each byte of its
// arrays once, so on 4 KiB pages the kernel's page faults for a fresh
// 100 MB array cost as much as encoding into it, and threads encoding at
// once queue up on them. Blocks of 2 MiB and more therefore come straight
// from the kernel with transparent huge pages asked for; smaller ones come
// from malloc.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmor::encode {

inline constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{1} << 21;

// A block of `bytes` bytes, not initialised, or nullptr when memory is out.
[[nodiscard]] inline void* bulk_allocate(std::size_t bytes) noexcept {
#if defined(__linux__)
    if (bytes >= HUGE_PAGE_BYTES) {
        void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) return nullptr;
        madvise(block, bytes, MADV_HUGEPAGE);  // advice only: refused, the block stays usable
        return block;
    }
#endif
    return std::malloc(bytes ? bytes : 1);
}

// Frees a block of bulk_allocate, given the same size.
inline void bulk_free(void* block, std::size_t bytes) noexcept {
    if (!block) return;
#if defined(__linux__)
    if (bytes >= HUGE_PAGE_BYTES) {
        munmap(block, bytes);
        return;
    }
#endif
    std::free(block);
}

// bulk_allocate for standard containers.
template <typename T>
struct BulkAllocator {
    using value_type = T;

    BulkAllocator() = default;
    template <typename U>
    BulkAllocator(const BulkAllocator<U>&) noexcept {}

    [[nodiscard]] T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        void* block = bulk_allocate(count * sizeof(T));
        if (!block) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t count) noexcept { bulk_free(block, count * sizeof(T)); }

    template <typename U>
    bool operator==(const BulkAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace velmor::encode
