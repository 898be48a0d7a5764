// Counting UTF-8 characters, cutting names to a column and masking control
// characters: pure functions on byte strings, no output.
#include "column_fit.h"

namespace {

constexpr char ELLIPSIS[] = "...";
constexpr std::size_t ELLIPSIS_LENGTH = sizeof(ELLIPSIS) - 1;

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

bool is_control_character(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

// True when `s` holds, at `offset`, a C1 control character (U+0080 to
// U+009F) written as UTF-8: 0xC2 followed by 0x80 to 0x9F.
bool is_c1_control_at(const std::string& s, std::size_t offset) {
    return static_cast<unsigned char>(s[offset]) == 0xC2 && offset + 1 < s.size() &&
           static_cast<unsigned char>(s[offset + 1]) <= 0x9F &&
           is_continuation_byte(static_cast<unsigned char>(s[offset + 1]));
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
    for (std::size_t offset = 0; offset < s.size(); ++offset) {
        if (is_c1_control_at(s, offset)) {
            masked += '?';
            ++offset;
        } else {
            const char c = s[offset];
            masked += is_control_character(static_cast<unsigned char>(c)) ? '?' : c;
        }
    }
    return masked;
}
