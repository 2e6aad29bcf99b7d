#include "chess_move/mod.hpp"

#include <array>

#include "common/text.hpp"

namespace velmor {

std::variant<ChessMove, std::string> ChessMove::from_str(std::string_view raw) {
    const std::string_view text = text::trim(raw);

    unsigned code = ORDINARY;
    if (text.size() == 5) {
        switch (text.back()) {
            case 'n': case 'N': code = PROMOTE_KNIGHT; break;
            case 'b': case 'B': code = PROMOTE_BISHOP; break;
            case 'r': case 'R': code = PROMOTE_ROOK; break;
            case 'q': case 'Q': code = PROMOTE_QUEEN; break;
            default: return "Unsupported promotion type for " + std::string(text);
        }
    } else if (text.size() != 4) {
        return "Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: " + std::string(text);
    }

    // The first four code points; a text of four or five bytes has at least two.
    std::array<char32_t, 4> chars{};
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < text.size() && count < 4; ++count) {
        const text::Decoded d = text::decode(text, pos);
        chars[count] = d.code_point;
        pos += d.length;
    }
    // Fewer than four code points means the whole text was counted.
    const auto require = [&](std::size_t index) {
        if (index >= count) panic_index(count, count);
    };
    const auto coordinate = [&](std::size_t index, unsigned base) -> unsigned {
        return static_cast<std::uint8_t>((chars[index] & 0xFF) - base);
    };

    require(1);
    const unsigned from_file = coordinate(0, 'a');
    if (from_file > 7) panic("assertion failed: from_file <= 7");
    const unsigned from_rank = coordinate(1, '1');
    if (from_rank > 7) panic("assertion failed: from_rank <= 7");
    require(3);
    const unsigned to_file = coordinate(2, 'a');
    if (to_file > 7) panic("assertion failed: to_file <= 7");
    const unsigned to_rank = coordinate(3, '1');
    if (to_rank > 7) panic("assertion failed: to_rank <= 7");

    return pack(from_file + 8 * from_rank, to_file + 8 * to_rank, code);
}

}  // namespace velmor
