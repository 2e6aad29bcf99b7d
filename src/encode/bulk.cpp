#include "encode/bulk.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace velmor::encode {

namespace {

#if defined(__linux__)

constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{1} << 21;

// What the kept blocks may hold in all: an eighth of the memory, at least
// 256 MiB. A kept block is given to the kernel with MADV_FREE, so under
// memory pressure it takes the pages back without writing them anywhere,
// and until then a batch of the size of the last ones is encoded into pages
// that need no fault and no clearing.
std::size_t kept_limit() {
    static const std::size_t limit = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page = sysconf(_SC_PAGESIZE);
        const std::size_t memory = pages > 0 && page > 0 ? static_cast<std::size_t>(pages) * static_cast<std::size_t>(page) : 0;
        return std::max(std::size_t{256} << 20, memory / 8);
    }();
    return limit;
}

// The size a request is mapped with: whole huge pages, rounded up to one of
// four steps per doubling (at most a quarter more), so that requests of
// nearby sizes share kept blocks. Freeing computes the same size from the
// same request.
[[nodiscard]] std::size_t mapped_size(std::size_t bytes) {
    std::size_t pages = (bytes + HUGE_PAGE_BYTES - 1) / HUGE_PAGE_BYTES;
    if (pages > 4) {
        const std::size_t step = std::size_t{1} << (std::bit_width(pages) - 3);
        pages = (pages + step - 1) & ~(step - 1);
    }
    return pages * HUGE_PAGE_BYTES;
}

struct Kept {
    void* block = nullptr;
    std::size_t size = 0;
    std::uint64_t age = 0;  // when it was kept: the oldest gives way first
};

// Freed blocks waiting for the next batch, under one lock: batches are
// encoded by threads at once. Every block is whole huge pages on a huge
// page boundary.
class KeptBlocks {
public:
    // The smallest kept block of at least `size` bytes, taken out, or none.
    Kept take(std::size_t size) {
        std::lock_guard lock(mutex_);
        Kept* best = nullptr;
        for (Kept& kept : kept_)
            if (kept.block && kept.size >= size && (!best || kept.size < best->size)) best = &kept;
        if (!best) return {};
        total_ -= best->size;
        return std::exchange(*best, Kept{});
    }

    // The largest kept block, taken out, or none.
    Kept take_largest() {
        std::lock_guard lock(mutex_);
        Kept* best = nullptr;
        for (Kept& kept : kept_)
            if (kept.block && (!best || kept.size > best->size)) best = &kept;
        if (!best) return {};
        total_ -= best->size;
        return std::exchange(*best, Kept{});
    }

    // Keeps the block, unmapping the oldest kept ones to make room: the
    // newest is the likeliest to serve the next batch, of the same size.
    // False when the block alone is more than may be kept: the caller
    // unmaps it.
    bool keep(void* block, std::size_t size) {
        if (size > kept_limit()) return false;
        std::lock_guard lock(mutex_);
        while (true) {
            Kept* free_slot = nullptr;
            Kept* oldest = nullptr;
            for (Kept& kept : kept_) {
                if (!kept.block) free_slot = free_slot ? free_slot : &kept;
                else if (!oldest || kept.age < oldest->age) oldest = &kept;
            }
            if (free_slot && total_ + size <= kept_limit()) {
                *free_slot = {block, size, ++age_};
                total_ += size;
                return true;
            }
            munmap(oldest->block, oldest->size);
            total_ -= oldest->size;
            *oldest = Kept{};
        }
    }

private:
    std::mutex mutex_;
    std::array<Kept, 32> kept_{};
    std::size_t total_ = 0;
    std::uint64_t age_ = 0;
};

// Never destroyed: arrays may still be freed while the process ends.
KeptBlocks& kept_blocks() {
    static KeptBlocks* blocks = new KeptBlocks;
    return *blocks;
}

// Keeps the pages for a later request, or gives them back.
void release(void* block, std::size_t size) {
    madvise(block, size, MADV_FREE);  // advice only: refused, the pages stay as they are
    if (!kept_blocks().keep(block, size)) munmap(block, size);
}

// The spare end of a shrunk block: the part the process has touched (kept
// pages moved in, or rows written) comes first and is kept; the rest, room
// grown into and never used, has no pages and goes back to the kernel, so
// that no request takes it for used pages.
void release_spare(char* spare, std::size_t size) {
    std::size_t used = 0;
    unsigned char resident = 0;
    while (used < size && mincore(spare + used, 1, &resident) == 0 && (resident & 1)) used += HUGE_PAGE_BYTES;
    if (used) release(spare, used);
    if (used < size) munmap(spare + used, size - used);
}

// New address space of `size` bytes (whole huge pages) on a huge page
// boundary, so that pages moved in keep huge, or nullptr.
char* reserve(std::size_t size) {
    void* area = mmap(nullptr, size + HUGE_PAGE_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(area);
    const std::uintptr_t aligned = (start + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
    if (aligned > start) munmap(area, aligned - start);
    if (const std::size_t tail = start + HUGE_PAGE_BYTES - aligned) munmap(reinterpret_cast<void*>(aligned + size), tail);
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // advice only: refused, the area stays usable
    return reinterpret_cast<char*>(aligned);
}

// Moves kept pages into the area's bytes from `from` to `size`: the kept
// block that fits the rest best, else the largest ones in turn. Pages a
// process has once used cost far less than fresh ones, which the kernel
// (and on a virtual machine the host too) must find and clear.
void move_kept_in(char* area, std::size_t from, std::size_t size) {
    bool whole = true;
    while (from < size) {
        Kept kept = whole ? kept_blocks().take(size - from) : Kept{};
        if (!kept.block) {
            whole = false;
            kept = kept_blocks().take_largest();
        }
        if (!kept.block) return;
        const std::size_t piece = std::min(kept.size, size - from);
        if (mremap(kept.block, piece, piece, MREMAP_MAYMOVE | MREMAP_FIXED, area + from) == MAP_FAILED) {
            release(kept.block, kept.size);
            return;
        }
        if (kept.size > piece) release(static_cast<char*>(kept.block) + piece, kept.size - piece);
        from += piece;
    }
}

// A block of `size` bytes (whole huge pages): a kept one that fits, its
// surplus kept again, or new address space with kept pages moved in.
void* map_block(std::size_t size) {
    if (const Kept kept = kept_blocks().take(size); kept.block) {
        if (kept.size > size) release(static_cast<char*>(kept.block) + size, kept.size - size);
        return kept.block;
    }
    char* area = reserve(size);
    if (area) move_kept_in(area, 0, size);
    return area;
}

#endif

}  // namespace

void* bulk_allocate(std::size_t bytes) noexcept {
#if defined(__linux__)
    if (bytes >= HUGE_PAGE_BYTES) return map_block(mapped_size(bytes));
#endif
    return std::malloc(bytes ? bytes : 1);
}

void bulk_free(void* block, std::size_t bytes) noexcept {
    if (!block) return;
#if defined(__linux__)
    if (bytes >= HUGE_PAGE_BYTES) {
        release(block, mapped_size(bytes));
        return;
    }
#endif
    std::free(block);
}

void* bulk_resize(void* block, std::size_t old_bytes, std::size_t new_bytes) noexcept {
#if defined(__linux__)
    const bool old_mapped = old_bytes >= HUGE_PAGE_BYTES;
    const bool new_mapped = new_bytes >= HUGE_PAGE_BYTES;
    if (old_mapped && new_mapped) {
        const std::size_t old_size = mapped_size(old_bytes);
        const std::size_t new_size = mapped_size(new_bytes);
        if (new_size <= old_size) {
            if (new_size < old_size) release_spare(static_cast<char*>(block) + new_size, old_size - new_size);
            return block;
        }
        // The pages move to the front of new address space without a copy,
        // kept ones behind them.
        char* grown = reserve(new_size);
        if (!grown) return nullptr;
        if (mremap(block, old_size, old_size, MREMAP_MAYMOVE | MREMAP_FIXED, grown) == MAP_FAILED) {
            munmap(grown, new_size);
            return nullptr;
        }
        move_kept_in(grown, old_size, new_size);
        return grown;
    }
    if (old_mapped || new_mapped) {
        void* moved = bulk_allocate(new_bytes);
        if (!moved) return nullptr;
        std::memcpy(moved, block, std::min(old_bytes, new_bytes));
        bulk_free(block, old_bytes);
        return moved;
    }
#else
    (void)old_bytes;
#endif
    return std::realloc(block, new_bytes ? new_bytes : 1);
}

}  // namespace velmor::encode
