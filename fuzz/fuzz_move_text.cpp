// Move text reading on arbitrary bytes: either a move, an error text with one
// of the two known beginnings, or a panic; a move read writes text that reads
// back to the same word.
#include <cstdint>
#include <string>
#include <variant>

#include "chess_move/mod.hpp"
#include "common/text.hpp"
#include "fuzz_common.hpp"

using namespace velmor;

namespace {

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool known_panic(std::string_view message) {
    return message == "assertion failed: from_file <= 7" || message == "assertion failed: from_rank <= 7" ||
           message == "assertion failed: to_file <= 7" || message == "assertion failed: to_rank <= 7" ||
           starts_with(message, "index out of bounds: the len is ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = as_text(data, size);
    std::variant<ChessMove, std::string> parsed;
    try {
        parsed = ChessMove::from_str(text);
    } catch (const Panic& panic) {
        FUZZ_CHECK(known_panic(panic.what()), "unexpected panic message");
        return 0;
    }

    if (const auto* error = std::get_if<std::string>(&parsed)) {
        const std::string trimmed(text::trim(text));
        FUZZ_CHECK(*error == "Unsupported promotion type for " + trimmed ||
                       *error == "Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: " + trimmed,
                   "unexpected error text");
        return 0;
    }

    const ChessMove move = std::get<ChessMove>(parsed);
    FUZZ_CHECK(move.special() == 0 || (move.special() >= 4 && move.special() <= 7), "reader made codes 1-3 or 8-15");
    const std::string written = move.text();
    FUZZ_CHECK(written.size() == (move.special() ? 5u : 4u), "written text has the wrong length");

    const auto again = ChessMove::from_str(written);
    FUZZ_CHECK(std::holds_alternative<ChessMove>(again), "written text does not read back");
    FUZZ_CHECK(std::get<ChessMove>(again) == move, "written text reads back to another word");

    // For plain ASCII input the written text is the trimmed input with the
    // promotion letter in lower case.
    const std::string_view trimmed = text::trim(text);
    bool ascii = true;
    for (const char c : trimmed) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        std::string expected(trimmed);
        if (expected.size() == 5) expected[4] = static_cast<char>(expected[4] | 0x20);
        FUZZ_CHECK(written == expected, "written text is not the trimmed input");
    }
    return 0;
}
