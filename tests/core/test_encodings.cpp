// The vector forms of the training encodings' plane writer, board reader
// and mask copy, each against the definition: the Python tests only reach
// the one this processor picks, so the others are checked here. And the
// legal mask's move lookup against the policy spaces' general mapping, over
// every move word the Python tests' games may never reach.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "encodings/mod.hpp"
#include "support/mod.hpp"

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

// Plane p's square in the view: reflected, the other colour's plane with
// the square mirrored top to bottom.
unsigned viewed_bit(const std::array<Bitboard, PLANE_COUNT>& boards, unsigned p, unsigned square, bool flip) {
    const Bitboard source = flip ? boards[(p + PIECE_TYPES) % PLANE_COUNT] : boards[p];
    return (source >> (flip ? square ^ 56 : square)) & 1;
}

TEST(EncodingKernels, EveryFormWritesEachPlaneSquareBySquareInTheView) {
    ASSERT_FALSE(encodings::kernels().empty());
    for (const encodings::Kernels& kernel : encodings::kernels()) {
        for (const auto& boards : board_sets()) {
            // Both writers, the streaming one to the aligned output it needs.
            for (const auto write : {kernel.write_boards, kernel.stream_boards})
                for (const bool flip : {false, true}) {
                    alignas(32) std::array<std::uint8_t, 64 * PLANE_COUNT + 32> out;
                    out.fill(0xAB);
                    write(boards.data(), flip, out.data());
                    encodings::stream_fence();
                    for (unsigned p = 0; p < PLANE_COUNT; ++p)
                        for (unsigned square = 0; square < 64; ++square)
                            ASSERT_EQ(out[64 * p + square], viewed_bit(boards, p, square, flip))
                                << kernel.name << " flip " << flip << " plane " << p << " square " << square;
                    for (std::size_t i = 64 * PLANE_COUNT; i < out.size(); ++i)
                        ASSERT_EQ(out[i], 0xAB) << kernel.name << " wrote past the planes";
                }
        }
    }
}

TEST(EncodingKernels, EveryPackedFormIsEachSquaresBitInTheView) {
    for (const encodings::Kernels& kernel : encodings::kernels())
        for (const auto& boards : board_sets()) {
            encodings::Position position{};
            std::copy(boards.begin(), boards.end(), position.planes.begin());
            for (const bool flip : {false, true}) {
                std::array<std::uint8_t, 8 * PLANE_COUNT + 8> out, step;
                out.fill(0xAB);
                kernel.write_packed(boards.data(), flip, out.data());
                for (unsigned p = 0; p < PLANE_COUNT; ++p)
                    for (unsigned square = 0; square < 64; ++square)
                        ASSERT_EQ((out[8 * p + square / 8] >> (square % 8)) & 1, viewed_bit(boards, p, square, flip))
                            << kernel.name << " flip " << flip << " plane " << p << " square " << square;
                for (std::size_t i = 8 * PLANE_COUNT; i < out.size(); ++i)
                    ASSERT_EQ(out[i], 0xAB) << kernel.name << " wrote past the planes";
                step.fill(0xAB);
                encodings::write_packed_step(position, flip, step.data());
                ASSERT_EQ(step, out) << kernel.name << " flip " << flip;
                // The same board as the bit slices of its squares' codes
                // (the planes made disjoint first, as a board's are).
                std::array<Bitboard, PLANE_COUNT> disjoint = boards;
                Bitboard taken = 0;
                for (Bitboard& b : disjoint) taken |= (b &= ~taken);
                Bitboard slices[4] = {};
                for (unsigned p = 0; p < PLANE_COUNT; ++p)
                    for (unsigned k = 0; k < 4; ++k)
                        if ((p + 1) >> k & 1) slices[k] |= disjoint[p];
                std::array<std::uint8_t, 8 * PLANE_COUNT + 8> sliced, expected;
                sliced.fill(0xAB), expected.fill(0xAB);
                kernel.packed_slices(slices, flip, sliced.data());
                kernel.write_packed(disjoint.data(), flip, expected.data());
                ASSERT_EQ(sliced, expected) << kernel.name << " flip " << flip;
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

TEST(EncodingKernels, EveryFormCopiesExactlyTheBytesAtEitherAlignment) {
    // Sizes of every remainder modulo the 32- and 256-byte steps, and the
    // three masks'.
    std::vector<std::size_t> sizes = {policy::UCI_SIZE, policy::FROM_TO_SIZE, policy::ALPHAZERO_SIZE};
    for (std::size_t bytes = 0; bytes <= 544; bytes += 16) sizes.push_back(bytes);
    constexpr std::size_t BLOCK = policy::ALPHAZERO_SIZE + 64;
    alignas(64) static std::uint8_t in[BLOCK], out[BLOCK + 64];
    std::mt19937 random(13);
    for (std::uint8_t& b : in) b = static_cast<std::uint8_t>(random());
    for (const encodings::Kernels& kernel : encodings::kernels())
        for (const std::size_t offset : {0, 16, 48})
            for (const std::size_t bytes : sizes) {
                std::fill(std::begin(out), std::end(out), 0xAB);
                kernel.stream_copy(out + offset, in, bytes);
                encodings::stream_fence();
                for (std::size_t at = 0; at < BLOCK; ++at) {
                    const std::uint8_t expected = at >= offset && at < offset + bytes ? in[at - offset] : 0xAB;
                    ASSERT_EQ(out[at], expected) << kernel.name << " offset " << offset << " bytes " << bytes << " at " << at;
                }
            }
}

constexpr policy::Space SPACES[] = {policy::Space::from_to, policy::Space::uci, policy::Space::alphazero};

TEST(LegalMask, EveryMoveWordIndexesAsTheSpaceMapsItsSquaresInTheView) {
    for (const policy::Space space : SPACES)
        for (const bool flip : {false, true}) {
            const encodings::MoveIndices indices(space, flip);
            for (unsigned special = 0; special < 8; ++special)
                for (unsigned from = 0; from < 64; ++from)
                    for (unsigned to = 0; to < 64; ++to) {
                        const ChessMove move = ChessMove::pack(from, to, special);
                        const unsigned promotion = special >= ChessMove::PROMOTE_KNIGHT ? special - 3 : 0;
                        const std::int32_t expected = policy::index(space, encodings::viewed_square(from, flip),
                                                                    encodings::viewed_square(to, flip), promotion);
                        ASSERT_EQ(indices.of(move), expected)
                            << policy::space_name(space) << (flip ? " flipped " : " ") << move.text() << " code " << special;
                    }
        }
}

// The streamed mask is the written one, at either 16-byte alignment of a
// row, and leaves its scratch all zeros for the next row.
TEST(LegalMask, StreamedMaskIsTheWrittenOneAndLeavesTheScratchClear) {
    const MoveGenerator& generator = support::generator();
    std::mt19937 random(20261210);
    Board board = board_from_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -");
    Board scratch_board(FenFields{Planes{}, WHITE_TO_MOVE});
    MoveList moves, play;
    alignas(64) std::uint8_t scratch[policy::ALPHAZERO_SIZE + 64]{};
    alignas(64) std::uint8_t streamed[policy::ALPHAZERO_SIZE + 64];
    std::vector<std::uint8_t> written(policy::ALPHAZERO_SIZE);
    std::size_t positions = 0, promotions = 0;
    for (int ply = 0, game_ply = 0; ply < 3000; ++ply, ++game_ply) {
        generator.legal_moves(board, play);
        if (play.size() == 0 || game_ply >= 150) {
            game_ply = 0;
            // Games from the start and from a position where both sides promote.
            board = board_from_fen(ply % 2 ? "8/1P4k1/8/8/8/8/1p3K2/8 b - -" : "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -");
            continue;
        }
        const encodings::Position position{board.planes, board.state};
        ++positions;
        for (const ChessMove move : play) promotions += move.special() >= ChessMove::PROMOTE_KNIGHT;
        for (const policy::Space space : SPACES)
            for (const bool flip : {false, true}) {
                encodings::Options options;
                options.policy = space;
                options.legal_mask = true;
                const std::size_t bytes = encodings::mask_bytes(options);
                encodings::write_legal(generator, position, flip, options, scratch_board, moves, written.data());
                const std::size_t offset = 16 * (ply % 3);
                std::fill(std::begin(streamed), std::end(streamed), 0xAB);
                encodings::stream_legal(generator, position, flip, options, scratch_board, moves, scratch, streamed + offset);
                encodings::stream_fence();
                ASSERT_TRUE(std::equal(written.begin(), written.begin() + static_cast<std::ptrdiff_t>(bytes), streamed + offset))
                    << policy::space_name(space) << " " << fen(board);
                ASSERT_TRUE(std::all_of(std::begin(scratch), std::end(scratch), [](std::uint8_t b) { return b == 0; }))
                    << policy::space_name(space) << " " << fen(board);
            }
        push_move(board, play[random() % play.size()]);
    }
    EXPECT_GT(positions, 2000u);
    EXPECT_GT(promotions, 10u);
}

// The mask as the move list gives it: each legal move's index, bit or byte.
std::vector<std::uint8_t> listed_mask(const encodings::Position& position, bool flip, const encodings::Options& options) {
    Board board(FenFields{position.planes, position.state});
    MoveList moves;
    support::generator().legal_moves(board, moves);
    std::vector<std::uint8_t> mask(encodings::mask_bytes(options));
    const encodings::MoveIndices indices(*options.policy, flip);
    for (const ChessMove move : moves)
        if (const std::ptrdiff_t index = indices.of(move); index >= 0) {
            if (options.packed_mask) mask[index >> 3] |= static_cast<std::uint8_t>(1u << (index & 7));
            else mask[index] = 1;
        }
    return mask;
}

// Every mask writer, packed or not, against the move list's indices: on the
// shared positions and a move from each (the target sets' path), and on
// boards the target sets refuse (the move list's path).
TEST(LegalMask, IsTheListedMovesIndicesInEverySpaceViewAndForm) {
    std::vector<encodings::Position> positions;
    if (const auto* entries = support::shared_perft("random.perft")) {
        MoveList moves;
        for (std::size_t i = 0; i < entries->size(); i += 3) {
            Board board = board_from_fen((*entries)[i].fen);
            positions.push_back({board.planes, board.state});
            support::generator().legal_moves(board, moves);
            if (moves.size() == 0) continue;
            push_move(board, moves[i % moves.size()]);
            positions.push_back({board.planes, board.state});
        }
    }
    // Odd boards: a rook under a queen, two kings of the side to move, two
    // of the other side; and promotions with en passant offered.
    for (const char* text : {"4k3/8/8/8/8/8/8/3QK3 w - -", "4k3/8/8/8/8/8/8/K3K3 w - -", "4k2k/8/8/8/8/8/8/Q3K3 w - -",
                             "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - -", "8/1P4k1/8/8/3pP3/8/1p3K2/8 b - e3"}) {
        const Board board = board_from_fen(text);
        positions.push_back({board.planes, board.state});
    }
    positions[positions.size() - 5].planes[ROOK] |= square_bb(3);

    Board scratch_board(FenFields{Planes{}, WHITE_TO_MOVE});
    MoveList moves;
    alignas(64) static std::uint8_t scratch[policy::ALPHAZERO_SIZE]{};  // the largest space
    alignas(64) static std::uint8_t streamed[policy::ALPHAZERO_SIZE];
    std::vector<std::uint8_t> written;
    for (const encodings::Position& position : positions)
        for (const policy::Space space : SPACES)
            for (const bool flip : {false, true})
                for (const bool packed : {false, true}) {
                    encodings::Options options;
                    options.policy = space;
                    options.legal_mask = true;
                    options.packed_mask = packed;
                    const std::vector<std::uint8_t> expected = listed_mask(position, flip, options);
                    written.assign(expected.size(), 0xAB);
                    encodings::write_legal(support::generator(), position, flip, options, scratch_board, moves, written.data());
                    ASSERT_EQ(written, expected) << policy::space_name(space) << " flip " << flip << " packed " << packed
                                                 << " " << fen(Board(FenFields{position.planes, position.state}));
                    if (packed) continue;
                    encodings::stream_legal(support::generator(), position, flip, options, scratch_board, moves, scratch, streamed);
                    encodings::stream_fence();
                    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), streamed)) << policy::space_name(space);
                    ASSERT_TRUE(std::all_of(std::begin(scratch), std::end(scratch), [](std::uint8_t b) { return b == 0; }));
                }
    RecordProperty("positions", std::to_string(positions.size()));
}

}  // namespace
