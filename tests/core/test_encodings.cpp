// The vector forms of the training encodings' plane writer and board
// reader, each against the definition: the Python tests only reach the one
// this processor picks, so the others are checked here.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "encodings/mod.hpp"

namespace {

using namespace velmor;

// Boards with every square's bit and byte place exercised: empty, full,
// single squares at the corners of each rank, and random ones.
std::vector<std::array<Bitboard, PLANE_COUNT>> board_sets() {
    std::vector<std::array<Bitboard, PLANE_COUNT>> sets;
    std::array<Bitboard, PLANE_COUNT> edges{};
    for (unsigned p = 0; p < PLANE_COUNT; ++p) edges[p] = (Bitboard{1} << (5 * p)) | (Bitboard{1} << (63 - p)) | (p ? 0 : ~Bitboard{0});
    sets.push_back(edges);
    std::mt19937_64 random(20261209);
    for (int i = 0; i < 200; ++i) {
        std::array<Bitboard, PLANE_COUNT> boards;
        for (Bitboard& b : boards) b = random() & random();
        sets.push_back(boards);
    }
    return sets;
}

TEST(EncodingKernels, EveryFormWritesEachPlaneSquareBySquare) {
    ASSERT_FALSE(encodings::kernels().empty());
    for (const encodings::Kernels& kernel : encodings::kernels()) {
        for (const auto& boards : board_sets()) {
            // Both writers, the streaming one to the aligned output it needs.
            for (const auto write : {kernel.write_boards, kernel.stream_boards}) {
                alignas(32) std::array<std::uint8_t, 64 * PLANE_COUNT + 32> out;
                out.fill(0xAB);
                write(boards.data(), out.data());
                encodings::stream_fence();
                for (unsigned p = 0; p < PLANE_COUNT; ++p)
                    for (unsigned square = 0; square < 64; ++square)
                        ASSERT_EQ(out[64 * p + square], (boards[p] >> square) & 1) << kernel.name << " plane " << p << " square " << square;
                for (std::size_t i = 64 * PLANE_COUNT; i < out.size(); ++i) ASSERT_EQ(out[i], 0xAB) << kernel.name << " wrote past the planes";
            }
        }
    }
}

TEST(EncodingKernels, PackedStepIsEachSquaresBitInTheView) {
    for (const auto& boards : board_sets()) {
        encodings::Position position{};
        std::copy(boards.begin(), boards.end(), position.planes.begin());
        for (const bool flip : {false, true}) {
            std::array<std::uint8_t, 8 * PLANE_COUNT + 8> out;
            out.fill(0xAB);
            encodings::write_packed_step(position, flip, out.data());
            // Reflected: the other colour's plane, the square mirrored top to bottom.
            for (unsigned p = 0; p < PLANE_COUNT; ++p)
                for (unsigned square = 0; square < 64; ++square) {
                    const Bitboard source = flip ? boards[(p + PIECE_TYPES) % PLANE_COUNT] : boards[p];
                    ASSERT_EQ((out[8 * p + square / 8] >> (square % 8)) & 1, (source >> (flip ? square ^ 56 : square)) & 1)
                        << "flip " << flip << " plane " << p << " square " << square;
                }
            for (std::size_t i = 8 * PLANE_COUNT; i < out.size(); ++i) ASSERT_EQ(out[i], 0xAB) << "wrote past the planes";
        }
    }
}

TEST(EncodingKernels, EveryFormReadsTheBoardBySquare) {
    std::mt19937 random(7);
    for (const encodings::Kernels& kernel : encodings::kernels()) {
        for (int i = 0; i < 300; ++i) {
            std::array<std::uint8_t, 64> squares;
            for (auto& code : squares) code = static_cast<std::uint8_t>(i == 0 ? 12 : random() % 13);
            std::array<Bitboard, PLANE_COUNT> boards;
            boards.fill(0x5555);
            kernel.boards_of_squares(squares.data(), boards.data());
            for (unsigned p = 0; p < PLANE_COUNT; ++p) {
                Bitboard expected = 0;
                for (unsigned square = 0; square < 64; ++square)
                    if (squares[square] == p + 1) expected |= Bitboard{1} << square;
                ASSERT_EQ(boards[p], expected) << kernel.name << " plane " << p;
            }
        }
    }
}

TEST(EncodingKernels, EveryFormFindsTheSquaresThatDiffer) {
    std::mt19937 random(11);
    for (const encodings::Kernels& kernel : encodings::kernels()) {
        for (int i = 0; i < 300; ++i) {
            std::array<std::uint8_t, 64> before, after;
            for (auto& code : before) code = static_cast<std::uint8_t>(random() % 13);
            after = before;
            for (int k = 0, changes = i % 70; k < changes; ++k) after[random() % 64] = static_cast<std::uint8_t>(random() % 13);
            Bitboard expected = 0;
            for (unsigned square = 0; square < 64; ++square)
                if (before[square] != after[square]) expected |= Bitboard{1} << square;
            ASSERT_EQ(kernel.changed_squares(before.data(), after.data()), expected) << kernel.name;
        }
    }
}

}  // namespace
