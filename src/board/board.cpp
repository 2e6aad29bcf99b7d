#include <algorithm>
#include <cstring>

#include "board/mod.hpp"
#include "common/text.hpp"

namespace velmor {

namespace {

constexpr std::string_view PIECE_LETTERS = "PNBRQKpnbrqk";

// What an ASCII character means in a placement field: a plane (0-11), a
// digit (DIGIT + its value), the group separator, or nothing.
constexpr std::uint8_t DIGIT = 16, SLASH = 32, INVALID = 255;

constexpr std::array<std::uint8_t, 128> PLACEMENT_CODES = [] {
    std::array<std::uint8_t, 128> codes{};
    codes.fill(INVALID);
    for (unsigned plane = 0; plane < PLANE_COUNT; ++plane)
        codes[static_cast<unsigned char>(PIECE_LETTERS[plane])] = static_cast<std::uint8_t>(plane);
    for (unsigned digit = 0; digit < 10; ++digit) codes['0' + digit] = static_cast<std::uint8_t>(DIGIT + digit);
    codes['/'] = SLASH;
    return codes;
}();

[[nodiscard]] Bitboard mirror(Bitboard b) { return __builtin_bswap64(b); }

}  // namespace

namespace {

// Reads the placement field: groups last first (rank 1 first); the square
// counter runs on across groups, so a short or long group shifts every later
// square.
Planes read_placement(std::string_view placement) {
    Planes planes{};
    unsigned counter = 0;
    std::size_t group_end = placement.size();
    while (true) {
        std::size_t group_start = group_end;
        while (group_start > 0 && placement[group_start - 1] != '/') --group_start;
        // Only ASCII characters can be pieces, digits or slashes; a byte of a
        // multi-byte character is as invalid as the character.
        for (std::size_t i = group_start; i < group_end; ++i) {
            const unsigned char c = static_cast<unsigned char>(placement[i]);
            const std::uint8_t code = c < 128 ? PLACEMENT_CODES[c] : INVALID;
            if (code < PLANE_COUNT) {
                planes[code] |= square_bb(counter % 64);
                ++counter;
            } else if (code >= DIGIT && code < DIGIT + 10) {
                counter += code - DIGIT;
            } else {
                panic("Invalid piece type");
            }
        }
        if (group_start == 0) break;
        group_end = group_start - 1;  // skip the slash
    }
    return planes;
}

}  // namespace

Planes pieces_from_fen(std::string_view fen) {
    std::size_t pos = 0;
    const std::string_view placement = text::next_field(fen, pos);
    if (placement.empty()) panic(UNWRAP_NONE);
    return read_placement(placement);
}

FenFields read_fen(std::string_view fen) {
    std::size_t pos = 0;
    const auto field = [&] {
        const std::string_view f = text::next_field(fen, pos);
        if (f.empty()) panic(UNWRAP_NONE);
        return f;
    };

    FenFields fields;
    fields.planes = read_placement(field());

    std::uint64_t state = 0;
    const std::string_view side = field();
    if (side == "w") state |= WHITE_TO_MOVE;
    else if (side != "b") throw InvalidInput("Invalid fen: Invalid side-to-move");

    for (const char c : field()) {
        if (c == '-') break;
        switch (c) {
            case 'K': state |= 1u << WHITE_KING_SIDE; break;
            case 'Q': state |= 1u << WHITE_QUEEN_SIDE; break;
            case 'k': state |= 1u << BLACK_KING_SIDE; break;
            case 'q': state |= 1u << BLACK_QUEEN_SIDE; break;
            // Any other byte, including one of a multi-byte character.
            default: throw InvalidInput("Invalid fen: Invalid castling specifier");
        }
    }

    // Only the first character is read: its code point names the bit, so a
    // file letter gives the en-passant file and the rank is not looked at.
    if (const std::string_view en_passant = field(); en_passant != "-") {
        const std::uint64_t c = text::decode(en_passant, 0).code_point;
        state |= std::uint64_t{1} << ((c + 36 + (state & WHITE_TO_MOVE ? 0 : 8)) % 64);
    }
    fields.state = state;
    return fields;
}

Board::Board(const FenFields& fields)
    : zobrist(ZobristBoardComponent::create(fields.planes, fields.state)), planes(fields.planes), state(fields.state) {}

Board board_from_fen(std::string_view fen) { return Board(read_fen(fen)); }

namespace {

// The placement text of one rank for each of the 256 sets of occupied files,
// as indices into a rank's row of letters and digits (see write_fen): file f's
// piece is f, a run of n empty squares is 7 + n.
struct RankText {
    std::array<std::uint8_t, 8> indices{};
    std::uint8_t length = 0;
};

constexpr std::array<RankText, 256> RANK_TEXTS = [] {
    std::array<RankText, 256> texts{};
    for (unsigned occupied = 0; occupied < 256; ++occupied) {
        RankText& text = texts[occupied];
        unsigned empty_run = 0;
        for (unsigned file = 0; file <= 8; ++file) {
            const bool piece = file < 8 && (occupied >> file & 1);
            if ((piece || file == 8) && empty_run) {
                text.indices[text.length++] = static_cast<std::uint8_t>(7 + empty_run);
                empty_run = 0;
            }
            if (piece) text.indices[text.length++] = static_cast<std::uint8_t>(file);
            else if (file < 8) ++empty_run;
        }
    }
    return texts;
}();
static_assert(RANK_TEXTS[0].length == 1 && RANK_TEXTS[0].indices[0] == 15);
static_assert(RANK_TEXTS[0b00010010].length == 5 && RANK_TEXTS[0b00010010].indices[4] == 10);

}  // namespace

std::size_t write_fen(const Board& board, char* out) {
    // Lower planes are written last, so a square held twice shows the lower.
    char squares[64];
    Bitboard occupied = 0;
    for (unsigned plane = PLANE_COUNT; plane-- > 0;) {
        occupied |= board.planes[plane];
        for (Bitboard b = board.planes[plane]; b;) squares[pop_lsb(b)] = PIECE_LETTERS[plane];
    }

    // A rank's text is eight lookups in a row of its eight squares followed
    // by the digits 1-8, whatever its pieces. Each rank writes all eight and
    // moves on by its length: the spare ones are overwritten by what follows
    // or lie past the end. The last rank starts at character 63 at most, so
    // they stay inside the MAX_FEN characters of out.
    char row[16] = {0, 0, 0, 0, 0, 0, 0, 0, '1', '2', '3', '4', '5', '6', '7', '8'};
    char* p = out;
    for (int rank = 7; rank >= 0; --rank) {
        const RankText& text = RANK_TEXTS[(occupied >> (8 * rank)) & 0xFF];
        std::memcpy(row, squares + 8 * rank, 8);
        for (unsigned i = 0; i < 8; ++i) p[i] = row[text.indices[i]];
        p += text.length;
        if (rank) *p++ = '/';
    }

    const bool white = board.white_to_move();
    *p++ = ' ';
    *p++ = white ? 'w' : 'b';
    *p++ = ' ';
    const char* p_castling = p;
    for (unsigned bit = WHITE_KING_SIDE; bit <= BLACK_QUEEN_SIDE; ++bit)
        if (board.state >> bit & 1) *p++ = "KQkq"[bit - 1];
    if (p == p_castling) *p++ = '-';
    *p++ = ' ';

    const unsigned files = (board.state >> en_passant_set(white)) & 0xFF;
    if (files) {
        *p++ = static_cast<char>('a' + lsb(files));
        *p++ = white ? '6' : '3';
    } else {
        *p++ = '-';
    }
    return static_cast<std::size_t>(p - out);
}

std::string fen(const Board& board) {
    char buffer[MAX_FEN];
    return std::string(buffer, write_fen(board, buffer));
}

void reflect(Board& board) {
    for (unsigned type = 0; type < PIECE_TYPES; ++type) {
        const Bitboard white = board.planes[type];
        board.planes[type] = mirror(board.planes[BLACK_PLANES + type]);
        board.planes[BLACK_PLANES + type] = mirror(white);
    }

    const std::uint64_t s = board.state;
    const std::uint64_t white_rights = (s >> WHITE_KING_SIDE) & 3;
    const std::uint64_t black_rights = (s >> BLACK_KING_SIDE) & 3;
    const std::uint64_t rank6 = (s >> RANK6_SET) & 0xFF;
    const std::uint64_t rank3 = (s >> RANK3_SET) & 0xFF;
    board.state = (s & ~((Bitboard{1} << MEANINGFUL_STATE_BITS) - 1)) | ((s & WHITE_TO_MOVE) ^ WHITE_TO_MOVE) |
                  (black_rights << WHITE_KING_SIDE) | (white_rights << BLACK_KING_SIDE) | (rank3 << RANK6_SET) |
                  (rank6 << RANK3_SET);

    board.plane_history = {};
    board.move_history = {};

    board.zobrist.hash64 = full_hash(*board.zobrist.keys64, board.planes, board.state);
    board.zobrist.hash16 = full_hash(*board.zobrist.keys16, board.planes, board.state);
}

const char* unsupported_move(const Board& board, ChessMove move) {
    const unsigned moving = plane_at(board.planes, move.from());
    if (moving != PAWN && moving != BLACK_PLANES + PAWN) return nullptr;
    const unsigned to = move.to();
    if (rank_of(to) != 0 && rank_of(to) != 7) return nullptr;
    if (move.special() < ChessMove::PROMOTE_KNIGHT) return "Missing promotion type";
    if (move.special() > ChessMove::PROMOTE_QUEEN) return "Invalid promotion code";

    // A pawn changing file onto a square without an other-colour piece is taken
    // for en passant; its victim would stand off the board here.
    const bool white = board.white_to_move();
    const unsigned victim_rank_off = white ? 0 : 7;
    const unsigned other_first_plane = moving == WHITE_PLANES + PAWN ? BLACK_PLANES : WHITE_PLANES;
    const bool other_piece =
        plane_at(board.planes, to, other_first_plane, other_first_plane + PIECE_TYPES) != NO_PLANE;
    if (!other_piece && file_of(to) != file_of(move.from()) && rank_of(to) == victim_rank_off)
        return "No en passant victim on the board";
    return nullptr;
}

void push_text(Board& board, std::string_view raw) {
    auto parsed = ChessMove::from_str(raw);
    if (auto* error = std::get_if<std::string>(&parsed)) throw InvalidInput("Invalid chess move: " + *error);
    const ChessMove move = std::get<ChessMove>(parsed);
    if (const char* reason = unsupported_move(board, move))
        throw InvalidInput(std::string("Invalid chess move: ") + reason + " for " + std::string(text::trim(raw)));
    push_move(board, move);
}

}  // namespace velmor
