// The growable stacks of a board's undo history.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace velmor {

// A stack of plain values behind one pointer. A board holds thirteen and
// nearly all of them are empty (every board read from FEN text and every copy
// of one), so an empty stack that never held anything is a null pointer:
// copying, moving and destroying it cost a load and a test, and the board
// stays small. The size and capacity live in front of the values.
template <typename T>
class UndoStack {
    static_assert(std::is_trivially_copyable_v<T> && alignof(T) <= alignof(std::max_align_t));

public:
    UndoStack() = default;
    // A copy holds exactly the values, with no spare room; an empty source
    // gives an empty stack with no storage.
    UndoStack(const UndoStack& other) {
        if (other.empty()) return;
        block_ = allocate(other.size());
        block_->size = other.size();
        std::memcpy(data(), other.data(), other.size() * sizeof(T));
    }
    UndoStack(UndoStack&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    UndoStack& operator=(UndoStack other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    // Tested here: most stacks were never used, and freeing null would still
    // be a call.
    ~UndoStack() {
        if (block_) ::operator delete(block_);
    }

    [[nodiscard]] std::size_t size() const { return block_ ? block_->size : 0; }
    [[nodiscard]] std::size_t capacity() const { return block_ ? block_->capacity : 0; }
    [[nodiscard]] bool empty() const { return size() == 0; }

    [[nodiscard]] const T* begin() const { return block_ ? data() : nullptr; }
    [[nodiscard]] const T* end() const { return begin() + size(); }
    [[nodiscard]] const T& operator[](std::size_t i) const { return data()[i]; }
    // back() and pop_back() need a value on the stack.
    [[nodiscard]] const T& back() const { return data()[block_->size - 1]; }

    // Throws std::bad_alloc, with the stack unchanged, when it cannot grow.
    void push_back(const T& value) {
        if (!block_ || block_->size == block_->capacity) [[unlikely]]
            grow();
        data()[block_->size++] = value;
    }
    void pop_back() { --block_->size; }
    // Empties the stack and keeps its storage for the next moves.
    void clear() {
        if (block_) block_->size = 0;
    }

private:
    struct Block {
        std::size_t size;
        std::size_t capacity;
    };
    static_assert(sizeof(Block) % alignof(T) == 0);

    static constexpr std::size_t FIRST_CAPACITY = 4;

    [[nodiscard]] T* data() const { return reinterpret_cast<T*>(block_ + 1); }

    [[nodiscard]] static Block* allocate(std::size_t capacity) {
        Block* block = static_cast<Block*>(::operator new(sizeof(Block) + capacity * sizeof(T)));
        block->size = 0;
        block->capacity = capacity;
        return block;
    }

    void grow() {
        const std::size_t count = size();
        Block* bigger = allocate(std::max(FIRST_CAPACITY, 2 * capacity()));
        if (count) std::memcpy(reinterpret_cast<T*>(bigger + 1), data(), count * sizeof(T));
        bigger->size = count;
        if (block_) ::operator delete(block_);
        block_ = bigger;
    }

    Block* block_ = nullptr;
};

}  // namespace velmor
