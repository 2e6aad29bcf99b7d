// Memory for the large arrays of a batch. A batch writes each byte of its
// arrays once, so on 4 KiB pages the kernel's page faults for a fresh
// 100 MB array cost as much as encoding into it, and threads encoding at
// once queue up on them. Blocks of 2 MiB and more therefore come straight
// from the kernel with transparent huge pages asked for, and freed ones are
// kept for the next batches: a batch's arrays are mostly freed before the
// next batch is encoded, and memory fresh from the kernel is cleared first,
// a second pass over every byte. A block grows by moving its pages, never
// by copying them. Smaller blocks come from malloc.
#pragma once

#include <cstddef>
#include <new>

namespace velmor::encode {

// A block of at least `bytes` bytes, not initialised, or nullptr when
// memory is out. Thread-safe.
[[nodiscard]] void* bulk_allocate(std::size_t bytes) noexcept;

// Frees a block of bulk_allocate, given the size it was asked for.
void bulk_free(void* block, std::size_t bytes) noexcept;

// The block with room for `new_bytes`, its first bytes (up to the smaller
// size) kept; the block may move. nullptr when memory is out, the block then
// left as it was. Thread-safe.
[[nodiscard]] void* bulk_resize(void* block, std::size_t old_bytes, std::size_t new_bytes) noexcept;

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
