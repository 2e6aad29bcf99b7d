#include "encode/columns.hpp"

#include <algorithm>
#include <atomic>
#include <new>

#include "encode/bulk.hpp"

namespace velmor::encode {

namespace {

// The fewest positions a column starts with.
constexpr std::size_t FIRST_CAPACITY = 4096;

// Positions of the batch last handed over in this process: the next batch
// starts at that size, and batches of one size then take the same blocks.
std::atomic<std::size_t> last_batch{0};

}  // namespace

Columns::~Columns() {
    for (unsigned c = 0; c < COLUMN_COUNT; ++c) bulk_free(data_[c], capacities_[c] * COLUMN_BYTES[c]);
}

void Columns::grow() {
    // Twice the room, or half the last batch's (two threads may share what
    // it leaves); where memory (or the address space a process may use)
    // does not allow that, a little more.
    const std::size_t wanted =
        capacity_ ? 2 * capacity_ : std::max(FIRST_CAPACITY, last_batch.load(std::memory_order_relaxed) / 2);
    if (!grow_to(wanted) && !grow_to(std::min(wanted, capacity_ + FIRST_CAPACITY))) throw std::bad_alloc();
}

bool Columns::grow_to(std::size_t target) {
    bool grown = true;
    for (unsigned c = 0; c < COLUMN_COUNT && grown; ++c) {
        if (capacities_[c] >= target) continue;
        void* block = data_[c] ? bulk_resize(data_[c], capacities_[c] * COLUMN_BYTES[c], target * COLUMN_BYTES[c])
                               : bulk_allocate(target * COLUMN_BYTES[c]);
        if (!block) {
            grown = false;
            break;
        }
        data_[c] = static_cast<std::uint8_t*>(block);
        capacities_[c] = target;
    }
    capacity_ = *std::min_element(capacities_.begin(), capacities_.end());
    return grown;
}

std::array<std::uint8_t*, COLUMN_COUNT> Columns::release() {
    for (unsigned c = 0; c < COLUMN_COUNT; ++c) {
        if (data_[c] && capacities_[c] == size_) continue;
        void* block = data_[c] ? bulk_resize(data_[c], capacities_[c] * COLUMN_BYTES[c], size_ * COLUMN_BYTES[c])
                               : bulk_allocate(0);
        if (!block) throw std::bad_alloc();
        data_[c] = static_cast<std::uint8_t*>(block);
        capacities_[c] = size_;
    }
    if (size_) last_batch.store(size_, std::memory_order_relaxed);
    const std::array<std::uint8_t*, COLUMN_COUNT> blocks = data_;
    data_ = {};
    capacities_ = {};
    capacity_ = size_ = 0;
    return blocks;
}

}  // namespace velmor::encode
