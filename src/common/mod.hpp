// Vocabulary shared by every core component: squares, bitboards, the two
// failure types and the bit helpers. No Python here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
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
    // The whole text: a message may quote input that holds a NUL.
    [[nodiscard]] std::string_view message() const noexcept { return message_; }

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
[[nodiscard]] constexpr unsigned square_at(unsigned file, unsigned rank) { return 8 * rank + file; }
[[nodiscard]] constexpr Bitboard square_bb(unsigned square) { return Bitboard{1} << square; }

inline constexpr unsigned FILE_A = 0, FILE_C = 2, FILE_D = 3, FILE_E = 4, FILE_F = 5, FILE_G = 6, FILE_H = 7;

// The squares the castling rules name.
inline constexpr unsigned A1 = square_at(FILE_A, 0), B1 = A1 + 1, C1 = A1 + 2, D1 = A1 + 3, E1 = A1 + 4,
                          F1 = A1 + 5, G1 = A1 + 6, H1 = A1 + 7;
inline constexpr unsigned A8 = square_at(FILE_A, 7), B8 = A8 + 1, C8 = A8 + 2, D8 = A8 + 3, E8 = A8 + 4,
                          F8 = A8 + 5, G8 = A8 + 6, H8 = A8 + 7;
static_assert(E1 == 4 && H1 == 7 && A8 == 56 && E8 == 60 && H8 == 63);

inline constexpr Bitboard FILE_A_BB = 0x0101010101010101ULL;
inline constexpr Bitboard FILE_H_BB = FILE_A_BB << FILE_H;
[[nodiscard]] constexpr Bitboard rank_bb(unsigned rank) { return Bitboard{0xFF} << (8 * rank); }

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
