// UTF-8 reading for the two text formats of the system (FEN and move text).
// Input from Python is valid UTF-8, but the readers never trust that: a byte
// that does not start a well-formed sequence is read as U+FFFD, one byte long.
#pragma once

#include <cstddef>
#include <string_view>

namespace velmor::text {

// The characters with the Unicode White_Space property.
[[nodiscard]] constexpr bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

struct Decoded {
    char32_t code_point;
    std::size_t length;  // bytes consumed, at least 1
};

// Decodes a code point of two or more bytes (or a malformed byte).
[[nodiscard]] Decoded decode_multibyte(std::string_view text, std::size_t pos);

// Decodes the code point that starts at text[pos]; pos < text.size().
[[nodiscard]] inline Decoded decode(std::string_view text, std::size_t pos) {
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) [[likely]]
        return {lead, 1};
    return decode_multibyte(text, pos);
}

// Whether the character at text[pos] is white space; its length in *length.
[[nodiscard]] inline bool white_space_at(std::string_view text, std::size_t pos, std::size_t* length) {
    const unsigned char byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) [[likely]] {
        *length = 1;
        return byte <= ' ' && (byte == ' ' || (byte >= 0x09 && byte <= 0x0D));
    }
    const Decoded d = decode_multibyte(text, pos);
    *length = d.length;
    return is_white_space(d.code_point);
}

// Returns the next run of non-white-space characters at or after pos and moves
// pos past it; an empty view (with pos at the end) when there is none.
[[nodiscard]] inline std::string_view next_field(std::string_view text, std::size_t& pos) {
    std::size_t length;
    while (pos < text.size() && white_space_at(text, pos, &length)) pos += length;
    const std::size_t start = pos;
    while (pos < text.size()) {
        const unsigned char byte = static_cast<unsigned char>(text[pos]);
        if (byte > ' ' && byte < 0x7F) {  // printable ASCII, nearly every byte of a field
            ++pos;
            continue;
        }
        if (white_space_at(text, pos, &length)) break;
        pos += length;
    }
    return text.substr(start, pos - start);
}

// Removes leading and trailing white space.
[[nodiscard]] std::string_view trim(std::string_view text);

}  // namespace velmor::text
