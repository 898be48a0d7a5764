// Measuring UTF-8 file names in characters and fitting them into fixed-width
// console and log columns.
#pragma once

#include <cstddef>
#include <string>

// Number of characters in `s`: every byte that is not a UTF-8 continuation
// byte (0x80 to 0xBF) counts as one, so malformed text never needs a special
// case.
std::size_t utf8_length(const std::string& s);

// Byte offset at which the character after the first `n` characters of `s`
// begins, judged by the lead bytes; never more than the byte length of `s`.
std::size_t utf8_byte_offset(const std::string& s, std::size_t n);

// `s` cut at the front to "..." and its last `width` - 3 characters when it is
// longer than `width` characters; otherwise `s` unchanged. `width` is 5 or more.
std::string shorten_too_long_string(const std::string& s, std::size_t width);

// `s` cut at the front like shorten_too_long_string when longer than `width`
// characters; otherwise `s` right-aligned in a column of `width` characters.
std::string fehlerausgabe(const std::string& s, std::size_t width);

// `s` with every control character replaced by "?", one for one, so that a
// name shown on a terminal cannot steer it: the bytes 0x00 to 0x1F and 0x7F,
// and the C1 controls U+0080 to U+009F written as UTF-8 (0xC2 0x80 to 0xC2
// 0x9F). The width in characters stays the same.
std::string mask_control_characters(const std::string& s);
