// Vocabulary shared by every core component: squares, bitboards, the two
// failure types and the bit helpers. No Python here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace velmor {

// square = 8 * rank + file; a1 = 0, h1 = 7, a8 = 56, h8 = 63.
using Square = std::uint16_t;
// Bit i stands for square i; one byte per rank, the lowest byte rank 1.
using Bitboard = std::uint64_t;

// A failure with its message text.
class Failure : public std::exception {
public:
    explicit Failure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// An internal failure: a broken assertion, an index out of range, a missing
// value. The binding raises it as the module's panic exception.
class Panic : public Failure {
public:
    using Failure::Failure;
};

// Bad input text. Carries the whole ValueError message, prefix included.
class InvalidInput : public Failure {
public:
    using Failure::Failure;
};

inline constexpr const char* UNWRAP_NONE = "called `Option::unwrap()` on a `None` value";

[[noreturn]] void panic(std::string message);
[[noreturn]] void panic_index(std::size_t len, std::size_t index);

[[nodiscard]] constexpr unsigned file_of(unsigned square) { return square & 7; }
[[nodiscard]] constexpr unsigned rank_of(unsigned square) { return square >> 3; }
[[nodiscard]] constexpr Bitboard square_bb(unsigned square) { return Bitboard{1} << square; }

// Absolute file distance; used to reject steps that wrap past the board's side.
[[nodiscard]] constexpr unsigned file_distance(unsigned a, unsigned b) {
    const unsigned fa = a & 7;
    const unsigned fb = b & 7;
    return fa > fb ? fa - fb : fb - fa;
}

[[nodiscard]] constexpr unsigned lsb(Bitboard b) { return static_cast<unsigned>(std::countr_zero(b)); }

// Returns the lowest set square and clears it; b must not be empty.
constexpr unsigned pop_lsb(Bitboard& b) {
    const unsigned square = lsb(b);
    b &= b - 1;
    return square;
}

}  // namespace velmor
