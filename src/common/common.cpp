#include "common/mod.hpp"
#include "common/text.hpp"

namespace velmor {

void panic(std::string message) { throw Panic(std::move(message)); }

void panic_index(std::size_t len, std::size_t index) {
    throw Panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                std::to_string(index));
}

}  // namespace velmor

namespace velmor::text {

Decoded decode_multibyte(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);

    std::size_t length;
    char32_t code_point;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, code_point = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code_point = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code_point = lead & 0x07, minimum = 0x10000;
    } else {
        return {0xFFFD, 1};
    }
    if (pos + length > text.size()) return {0xFFFD, 1};
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(pos + i);
        if ((next & 0xC0) != 0x80) return {0xFFFD, 1};
        code_point = (code_point << 6) | (next & 0x3F);
    }
    const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
    if (code_point < minimum || code_point > 0x10FFFF || surrogate) return {0xFFFD, 1};
    return {code_point, length};
}

std::string_view trim(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        const Decoded d = decode(text, start);
        if (!is_white_space(d.code_point)) break;
        start += d.length;
    }
    // Walk forward remembering the end of the last non-space character, so that
    // trailing bytes are split exactly as the forward reading splits them.
    std::size_t end = start;
    for (std::size_t pos = start; pos < text.size();) {
        const Decoded d = decode(text, pos);
        pos += d.length;
        if (!is_white_space(d.code_point)) end = pos;
    }
    return text.substr(start, end - start);
}

}  // namespace velmor::text
