// Fuzz target for the column-fitting functions. Beyond running them on any
// bytes under the sanitizers (so that nothing is read outside the string), it
// checks what a column promises: for well-formed UTF-8, a cut name is exactly
// `width` characters, "..." followed by the name's last characters, and a
// short name is padded to exactly `width`; for any bytes, a byte offset never
// lies past the end, and masking turns each control character, and each byte
// 0x80 to 0x9F outside a well-formed character, into one "?" and changes
// nothing else.
//
// Input: the first byte chooses the width (5 to 300, as every caller
// passes), the second a character count for utf8_byte_offset; the rest is the
// name.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "report/column_fit.h"

namespace {

constexpr std::size_t MIN_WIDTH = 5;
constexpr std::size_t WIDTH_CHOICES = 296;
constexpr char ELLIPSIS[] = "...";
constexpr std::size_t ELLIPSIS_LENGTH = 3;

void check(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property violated: %s\n", property);
        std::abort();
    }
}

// Length in bytes of the well-formed UTF-8 character (shortest form, no
// surrogate, nothing above U+10FFFF) that begins at `i` in `s`; 0 when none
// does.
std::size_t well_formed_length(const std::string& s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > s.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = byte(i + k);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

// Byte offsets at which the characters of `s` begin, when `s` is well-formed
// UTF-8; empty otherwise, or when `s` is empty.
std::vector<std::size_t> character_starts(const std::string& s) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t length = well_formed_length(s, i);
        if (length == 0) {
            return {};
        }
        starts.push_back(i);
        i += length;
    }
    return starts;
}

std::size_t count_lead_bytes(const std::string& s) {
    std::size_t count = 0;
    for (const char c : s) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

// True when the well-formed character `c` steers a terminal: a C0 control
// or DEL, a C1 control (0xC2 0x80 to 0xC2 0x9F), or a bidirectional
// embedding or override (0xE2 0x80 0xAA to 0xE2 0x80 0xAE) or isolate (0xE2
// 0x81 0xA6 to 0xE2 0x81 0xA9).
bool is_control(const std::string& c) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(c[k]); };
    switch (c.size()) {
        case 1:
            return byte(0) < 0x20 || byte(0) == 0x7F;
        case 2:
            return byte(0) == 0xC2 && byte(1) <= 0x9F;
        case 3:
            return byte(0) == 0xE2 && ((byte(1) == 0x80 && byte(2) >= 0xAA && byte(2) <= 0xAE) ||
                                       (byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9));
        default:
            return false;
    }
}

void check_any_bytes(const std::string& s, std::size_t width, std::size_t n) {
    const std::size_t length = utf8_length(s);
    check(length == count_lead_bytes(s), "utf8_length counts the bytes that begin characters");

    for (const std::size_t count : {std::size_t(0), n, length, s.size(), s.size() + 1, SIZE_MAX}) {
        check(utf8_byte_offset(s, count) <= s.size(), "utf8_byte_offset stays within the string");
    }
    check(utf8_byte_offset(s, 0) == 0, "no characters skipped lie at offset 0");
    check(utf8_byte_offset(s, n) <= utf8_byte_offset(s, n + 1), "utf8_byte_offset never goes back");

    const std::string shortened = shorten_too_long_string(s, width);
    const std::string fitted = fehlerausgabe(s, width);
    if (length > width) {
        check(shortened == fitted, "both functions cut alike");
        check(shortened.compare(0, ELLIPSIS_LENGTH, ELLIPSIS) == 0, "a cut name begins with ...");
        const std::size_t tail = shortened.size() - ELLIPSIS_LENGTH;
        check(tail <= s.size() && s.compare(s.size() - tail, tail, shortened, ELLIPSIS_LENGTH) == 0,
              "a cut name ends with the name's tail");
    } else {
        check(shortened == s, "a name that fits is not shortened");
        check(fitted == std::string(width - length, ' ') + s, "a name that fits is padded");
    }

    const std::string masked = mask_control_characters(s);
    // Each control character written as well-formed UTF-8, and each byte
    // 0x80 to 0x9F that begins no well-formed character, becomes one "?";
    // every other byte stays. A lone byte 0x80 to 0x9F counts as no
    // character, its "?" as one.
    std::size_t m = 0;
    std::size_t lone_c1_bytes = 0;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t character_length = well_formed_length(s, i);
        const std::string unit = s.substr(i, std::max<std::size_t>(character_length, 1));
        const auto lead = static_cast<unsigned char>(s[i]);
        const bool lone_c1 = character_length == 0 && lead >= 0x80 && lead <= 0x9F;
        const std::string shown =
            lone_c1 || (character_length != 0 && is_control(unit)) ? "?" : unit;
        check(masked.compare(m, shown.size(), shown) == 0,
              "masking replaces control characters only");
        m += shown.size();
        i += unit.size();
        lone_c1_bytes += lone_c1 ? 1 : 0;
    }
    check(m == masked.size(), "masking replaces a control character by one byte");
    check(utf8_length(masked) == length + lone_c1_bytes,
          "masking widens a name by its lone bytes 0x80 to 0x9F only");
}

void check_well_formed(const std::string& s, const std::vector<std::size_t>& starts,
                       std::size_t width) {
    const std::size_t length = starts.size();
    check(utf8_length(s) == length, "utf8_length counts code points");
    for (std::size_t count = 0; count <= length; ++count) {
        const std::size_t expected = count < length ? starts[count] : s.size();
        check(utf8_byte_offset(s, count) == expected, "utf8_byte_offset lands on a character");
    }

    const std::string shortened = shorten_too_long_string(s, width);
    const std::string fitted = fehlerausgabe(s, width);
    if (length > width) {
        const std::size_t keep = width - ELLIPSIS_LENGTH;
        const std::string expected = ELLIPSIS + s.substr(starts[length - keep]);
        check(shortened == expected, "shorten_too_long_string keeps the last width - 3 characters");
        check(fitted == expected, "fehlerausgabe keeps the last width - 3 characters");
        check(utf8_length(shortened) == width, "a cut name is exactly width characters");
    } else {
        check(utf8_length(fitted) == width, "a padded name is exactly width characters");
        check(fitted.ends_with(s), "a padded name ends at the right edge");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t width = MIN_WIDTH + data[0] % WIDTH_CHOICES;
    const std::size_t n = data[1];
    // A copy of exactly the name's bytes, so that the sanitizers see any read
    // past its end.
    const std::string s(reinterpret_cast<const char*>(data) + 2, size - 2);

    check_any_bytes(s, width, n);
    const std::vector<std::size_t> starts = character_starts(s);
    if (!starts.empty() || s.empty()) {
        check_well_formed(s, starts, width);
    }
    return 0;
}
