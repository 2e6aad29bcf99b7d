// FEN reading on arbitrary bytes. Only the two failure types of the core may
// leave the reader; a board that is built must write FEN text that reads back
// to the same text, and its planes must be those of the placement reader.
#include <cstdint>
#include <optional>
#include <string>

#include "board/mod.hpp"
#include "fuzz_common.hpp"

using namespace velmor;

namespace {

// What fen() can show: each square with its lowest plane only, the side,
// the rights and the lowest en-passant file of the side to move.
Planes shown_planes(const Planes& planes) {
    Planes shown{};
    for (unsigned square = 0; square < 64; ++square)
        if (const unsigned plane = plane_at(planes, square); plane < 12) shown[plane] |= square_bb(square);
    return shown;
}

std::uint64_t shown_state(std::uint64_t state) {
    const unsigned first = (state & WHITE_TO_MOVE) ? RANK6_SET : RANK3_SET;
    const std::uint64_t files = (state >> first) & 0xFF;
    std::uint64_t shown = state & 0x1F;
    if (files) shown |= std::uint64_t{1} << (first + lsb(files));
    return shown;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = as_text(data, size);

    std::optional<Planes> placement;
    try {
        placement = pieces_from_fen(text);
    } catch (const Panic&) {
    }

    std::optional<Board> board;
    try {
        board = board_from_fen(text);
    } catch (const Panic&) {
    } catch (const InvalidInput&) {
    }
    if (!board) return 0;

    FUZZ_CHECK(placement.has_value(), "board built although the placement reader failed");
    FUZZ_CHECK(*placement == board->planes, "board planes differ from pieces_from_fen");
    FUZZ_CHECK(board->move_history.empty(), "new board has a move history");
    for (const auto& stack : board->plane_history) FUZZ_CHECK(stack.empty(), "new board has a plane history");
    const char* fault = board_fault(*board, Hashes::exact);
    FUZZ_CHECK(fault == nullptr, fault);

    const std::string written = fen(*board);
    FUZZ_CHECK(written.size() <= MAX_FEN, "fen() longer than MAX_FEN");

    // What was written must read back, to the shown planes and state, and
    // write the same text again.
    Board again = [&] {
        try {
            return board_from_fen(written);
        } catch (...) {
            FUZZ_CHECK(false, "fen() wrote text that does not read back");
            std::abort();
        }
    }();
    FUZZ_CHECK(again.planes == shown_planes(board->planes), "re-read planes differ from the written ones");
    FUZZ_CHECK(again.state == shown_state(board->state), "re-read state differs from the written one");
    FUZZ_CHECK(fen(again) == written, "fen text does not survive a second round");
    FUZZ_CHECK(pieces_from_fen(written) == again.planes, "placement reader disagrees on written text");
    return 0;
}
