#include "encode/bulk.hpp"

#include <array>
#include <bit>
#include <cstdlib>
#include <mutex>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmor::encode {

namespace {

#if defined(__linux__)

constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{1} << 21;
// What the kept blocks may hold in all: the arrays of two batches of some
// 150,000 positions each, for two threads encoding at once.
constexpr std::size_t KEPT_BYTES = std::size_t{256} << 20;

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
};

// Freed blocks waiting for the next batch, under one lock: batches are
// encoded by threads at once.
class KeptBlocks {
public:
    // A kept block of exactly `size` bytes, or nullptr.
    void* take(std::size_t size) {
        std::lock_guard lock(mutex_);
        for (Kept& kept : kept_)
            if (kept.block && kept.size == size) {
                total_ -= size;
                return std::exchange(kept, Kept{}).block;
            }
        return nullptr;
    }

    // Whether the block is kept; if not, the caller unmaps it.
    bool keep(void* block, std::size_t size) {
        std::lock_guard lock(mutex_);
        if (total_ + size > KEPT_BYTES) return false;
        for (Kept& kept : kept_)
            if (!kept.block) {
                kept = {block, size};
                total_ += size;
                return true;
            }
        return false;
    }

private:
    std::mutex mutex_;
    std::array<Kept, 8> kept_{};
    std::size_t total_ = 0;
};

// Never destroyed: arrays may still be freed while the process ends.
KeptBlocks& kept_blocks() {
    static KeptBlocks* blocks = new KeptBlocks;
    return *blocks;
}

#endif

}  // namespace

void* bulk_allocate(std::size_t bytes) noexcept {
#if defined(__linux__)
    if (bytes >= HUGE_PAGE_BYTES) {
        const std::size_t size = mapped_size(bytes);
        if (void* kept = kept_blocks().take(size)) return kept;
        void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) return nullptr;
        madvise(block, size, MADV_HUGEPAGE);  // advice only: refused, the block stays usable
        return block;
    }
#endif
    return std::malloc(bytes ? bytes : 1);
}

void bulk_free(void* block, std::size_t bytes) noexcept {
    if (!block) return;
#if defined(__linux__)
    if (bytes >= HUGE_PAGE_BYTES) {
        const std::size_t size = mapped_size(bytes);
        if (!kept_blocks().keep(block, size)) munmap(block, size);
        return;
    }
#endif
    std::free(block);
}

}  // namespace velmor::encode
