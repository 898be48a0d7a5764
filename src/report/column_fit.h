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
// name shown on a terminal cannot steer it or reorder what a line shows: the
// bytes 0x00 to 0x1F and 0x7F; the C1 controls U+0080 to U+009F and the
// bidirectional controls U+202A to U+202E and U+2066 to U+2069 written as
// well-formed UTF-8; and every byte 0x80 to 0x9F that is part of no
// well-formed UTF-8 character, which a terminal reading single bytes takes
// for a C1 control. Well-formed UTF-8 keeps its width in characters; a lone
// byte 0x80 to 0x9F counts as no character in utf8_length, but its "?" as
// one, so a name is masked before it is fitted to a column.
std::string mask_control_characters(const std::string& s);
