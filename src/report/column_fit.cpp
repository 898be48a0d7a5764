// Counting UTF-8 characters, cutting names to a column and masking control
// characters: pure functions on byte strings, no output.
#include "report/column_fit.h"

#include <algorithm>

namespace {

constexpr char ELLIPSIS[] = "...";
constexpr std::size_t ELLIPSIS_LENGTH = sizeof(ELLIPSIS) - 1;

// Smallest code point that needs a sequence of each length, by length: a
// longer sequence for a smaller one is no shortest form.
constexpr char32_t SMALLEST_CODE_POINT_OF_LENGTH[] = {0, 0, 0x80, 0x800, 0x10000};
constexpr char32_t LARGEST_CODE_POINT = 0x10FFFF;
constexpr char32_t FIRST_SURROGATE = 0xD800;
constexpr char32_t LAST_SURROGATE = 0xDFFF;

// Code points from `first` to `last`.
struct CodePointRange {
    char32_t first;
    char32_t last;
};
// The characters that steer a terminal: the C0 controls; DEL and the C1
// controls; the bidirectional embeddings and overrides, and the isolates,
// which reorder what a line shows.
constexpr CodePointRange CONTROL_CHARACTERS[] = {
    {0x00, 0x1F}, {0x7F, 0x9F}, {0x202A, 0x202E}, {0x2066, 0x2069}};

bool is_continuation_byte(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length in bytes of the character that `lead` begins; 1 for a stray
// continuation byte and for the bytes 0xF8 to 0xFF.
std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        return 2;
    }
    if ((lead & 0xF0) == 0xE0) {
        return 3;
    }
    if ((lead & 0xF8) == 0xF0) {
        return 4;
    }
    return 1;
}

// A character of a name: its code point and its length in bytes.
struct Character {
    char32_t code_point;
    std::size_t length;
};

// The character that begins at `offset` in `s`: the well-formed UTF-8
// sequence there (in its shortest form, no surrogate, nothing above
// U+10FFFF), or else the byte there alone, read as the code point of its
// value, as a terminal that takes single bytes reads it.
Character character_at(const std::string& s, std::size_t offset) {
    const auto lead = static_cast<unsigned char>(s[offset]);
    const Character single_byte = {lead, 1};
    const std::size_t length = sequence_length(lead);
    if (length == 1 || offset + length > s.size()) {
        return single_byte;
    }
    // The bits of the lead byte below its length marker.
    char32_t code_point = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto byte = static_cast<unsigned char>(s[offset + k]);
        if (!is_continuation_byte(byte)) {
            return single_byte;
        }
        // Six bits of the code point in each continuation byte.
        code_point = code_point << 6 | (byte & 0x3F);
    }
    if (code_point < SMALLEST_CODE_POINT_OF_LENGTH[length] || code_point > LARGEST_CODE_POINT ||
        (code_point >= FIRST_SURROGATE && code_point <= LAST_SURROGATE)) {
        return single_byte;
    }
    return {code_point, length};
}

bool is_control_character(char32_t code_point) {
    return std::ranges::any_of(CONTROL_CHARACTERS, [code_point](const CodePointRange& range) {
        return code_point >= range.first && code_point <= range.last;
    });
}

// "..." followed by the last `width` - 3 characters of `s`, which is `length`
// characters long and longer than `width`.
std::string cut_at_front(const std::string& s, std::size_t length, std::size_t width) {
    const std::size_t keep = width - ELLIPSIS_LENGTH;
    const std::size_t start = utf8_byte_offset(s, length - keep);
    std::string result;
    result.reserve(ELLIPSIS_LENGTH + s.size() - start);
    result.append(ELLIPSIS, ELLIPSIS_LENGTH);
    result.append(s, start);
    return result;
}

}  // namespace

std::size_t utf8_length(const std::string& s) {
    std::size_t length = 0;
    for (const char c : s) {
        length += is_continuation_byte(static_cast<unsigned char>(c)) ? 0 : 1;
    }
    return length;
}

std::size_t utf8_byte_offset(const std::string& s, std::size_t n) {
    std::size_t offset = 0;
    for (std::size_t count = 0; offset < s.size() && count < n; ++count) {
        offset += sequence_length(static_cast<unsigned char>(s[offset]));
    }
    return offset < s.size() ? offset : s.size();
}

std::string shorten_too_long_string(const std::string& s, std::size_t width) {
    const std::size_t length = utf8_length(s);
    return length > width ? cut_at_front(s, length, width) : s;
}

std::string fehlerausgabe(const std::string& s, std::size_t width) {
    const std::size_t length = utf8_length(s);
    if (length > width) {
        return cut_at_front(s, length, width);
    }
    std::string result(width - length, ' ');
    result += s;
    return result;
}

std::string mask_control_characters(const std::string& s) {
    std::string masked;
    masked.reserve(s.size());
    for (std::size_t offset = 0; offset < s.size();) {
        const Character character = character_at(s, offset);
        if (is_control_character(character.code_point)) {
            masked += '?';
        } else {
            masked.append(s, offset, character.length);
        }
        offset += character.length;
    }
    return masked;
}
