// Unit tests of measuring file names in characters and fitting them into
// columns.
#include <gtest/gtest.h>

#include <string>

#include "report/column_fit.h"

namespace {

// A name stored in a single-byte encoding: "Résumé café" with every é as the
// one byte 0xE9, which UTF-8 reads as the lead byte of a three-byte character.
const std::string SINGLE_BYTE_NAME = "R\xE9sum\xE9 caf\xE9";

// Ten stray continuation bytes followed by eight letters.
const std::string STRAY_CONTINUATIONS = std::string(10, '\x80') + "abcdefgh";

TEST(Utf8Length, CountsCharactersNotBytes) {
    EXPECT_EQ(utf8_length(""), 0u);
    EXPECT_EQ(std::string("Überprüfung").size(), 13u);
    EXPECT_EQ(utf8_length("Überprüfung"), 11u);
    EXPECT_EQ(utf8_length("€uro"), 4u);
    EXPECT_EQ(utf8_length("\xF0\x9F\x98\x80!"), 2u);
    // A combining mark counts as a character of its own.
    EXPECT_EQ(utf8_length("e\xCC\x81"), 2u);
}

TEST(Utf8Length, CountsEveryByteThatIsNoContinuationByteInMalformedText) {
    EXPECT_EQ(SINGLE_BYTE_NAME.size(), 11u);
    EXPECT_EQ(utf8_length(SINGLE_BYTE_NAME), 11u);
    EXPECT_EQ(utf8_length(STRAY_CONTINUATIONS), 8u);
    EXPECT_EQ(utf8_length("\xFF\xFE"), 2u);
}

TEST(Utf8ByteOffset, SkipsWholeCharacters) {
    EXPECT_EQ(utf8_byte_offset("Überprüfung", 0), 0u);
    EXPECT_EQ(utf8_byte_offset("Überprüfung", 1), 2u);
    EXPECT_EQ(utf8_byte_offset("Überprüfung", 7), 9u);
    EXPECT_EQ(utf8_byte_offset("Überprüfung", 11), 13u);
    EXPECT_EQ(utf8_byte_offset("a€\xF0\x9F\x98\x80z", 3), 8u);
    EXPECT_EQ(utf8_byte_offset(STRAY_CONTINUATIONS, 6), 6u);
}

TEST(Utf8ByteOffset, NeverExceedsTheByteLength) {
    EXPECT_EQ(utf8_byte_offset("", 5), 0u);
    EXPECT_EQ(utf8_byte_offset("abc", 10), 3u);
    // Lead bytes whose sequences are cut off by the end of the string.
    EXPECT_EQ(utf8_byte_offset("ab\xE2", 3), 3u);
    EXPECT_EQ(utf8_byte_offset("a\xF0", 2), 2u);
    EXPECT_EQ(utf8_byte_offset("\xC3", 1), 1u);
    EXPECT_EQ(utf8_byte_offset(SINGLE_BYTE_NAME, 4), 8u);
    EXPECT_EQ(utf8_byte_offset(SINGLE_BYTE_NAME, 9), 11u);
}

TEST(ShortenTooLongString, KeepsANameThatFitsUnchanged) {
    EXPECT_EQ(shorten_too_long_string("abcdefghij", 10), "abcdefghij");
    EXPECT_EQ(shorten_too_long_string("kurz.txt", 80), "kurz.txt");
    EXPECT_EQ(shorten_too_long_string("", 5), "");
    EXPECT_EQ(shorten_too_long_string("Überprüfung", 11), "Überprüfung");
}

TEST(ShortenTooLongString, CutsALongNameAtTheFrontBehindAnEllipsis) {
    EXPECT_EQ(shorten_too_long_string("abcdefghij", 9), "...efghij");
    EXPECT_EQ(shorten_too_long_string("abcdefghij", 5), "...ij");
    EXPECT_EQ(shorten_too_long_string("docs/archiv/bericht.txt", 14), "...bericht.txt");
}

TEST(ShortenTooLongString, CutsOnACharacterBoundary) {
    EXPECT_EQ(shorten_too_long_string("abcdefäöü", 5), "...öü");
    EXPECT_EQ(shorten_too_long_string("abcdefäöü", 6), "...äöü");
    EXPECT_EQ(shorten_too_long_string("abcdefäöü", 7), "...fäöü");
    EXPECT_EQ(shorten_too_long_string("Prüfung/Maße/Größe.txt", 12), "...Größe.txt");
    EXPECT_EQ(shorten_too_long_string("xy€€€€", 5), "...€€");
    EXPECT_EQ(shorten_too_long_string("abc\xF0\x9F\x98\x80\xF0\x9F\x98\x81\xF0\x9F\x98\x82", 5),
              "...\xF0\x9F\x98\x81\xF0\x9F\x98\x82");
    EXPECT_EQ(utf8_length(shorten_too_long_string("Prüfung/Maße/Größe.txt", 12)), 12u);
}

TEST(ShortenTooLongString, CutsMalformedTextWithoutRunningPastItsEnd) {
    EXPECT_EQ(shorten_too_long_string(SINGLE_BYTE_NAME, 5), "...");
    EXPECT_EQ(shorten_too_long_string(SINGLE_BYTE_NAME, 10), "...af\xE9");
    EXPECT_EQ(shorten_too_long_string(SINGLE_BYTE_NAME, 11), SINGLE_BYTE_NAME);
    EXPECT_EQ(shorten_too_long_string(STRAY_CONTINUATIONS, 5),
              "..." + std::string(4, '\x80') + "abcdefgh");
}

TEST(Fehlerausgabe, RightAlignsANameThatFits) {
    EXPECT_EQ(fehlerausgabe("", 80), std::string(80, ' '));
    EXPECT_EQ(fehlerausgabe("datei.txt", 12), "   datei.txt");
    EXPECT_EQ(fehlerausgabe("abcdefghij", 10), "abcdefghij");
    // Padding is counted in characters, not bytes.
    EXPECT_EQ(fehlerausgabe("Größe", 8), "   Größe");
    const std::string eighty(80, 'n');
    EXPECT_EQ(fehlerausgabe(eighty, 80), eighty);
}

TEST(Fehlerausgabe, CutsALongNameLikeShortenTooLongString) {
    const std::string name = std::string(4, 'a') + std::string(77, 'b');
    EXPECT_EQ(fehlerausgabe(name, 80), "..." + std::string(77, 'b'));
    EXPECT_EQ(fehlerausgabe("abcdefghij", 9), "...efghij");
    EXPECT_EQ(fehlerausgabe("abcdefäöü", 5), "...öü");
    EXPECT_EQ(fehlerausgabe(SINGLE_BYTE_NAME, 5), "...");
    EXPECT_EQ(fehlerausgabe(SINGLE_BYTE_NAME, 10), "...af\xE9");
    EXPECT_EQ(fehlerausgabe(STRAY_CONTINUATIONS, 5), "..." + std::string(4, '\x80') + "abcdefgh");
}

TEST(MaskControlCharacters, ReplacesEachControlCharacterByAQuestionMark) {
    EXPECT_EQ(mask_control_characters(""), "");
    EXPECT_EQ(mask_control_characters("a\tb\nc\x1b[31m\rd\x7f"), "a?b?c?[31m?d?");
    EXPECT_EQ(mask_control_characters(std::string("x\0y", 3)), "x?y");
    for (int byte = 0; byte < 256; ++byte) {
        const std::string one(1, static_cast<char>(byte));
        // A byte 0x80 to 0x9F on its own is a C1 control to a terminal that
        // reads single bytes.
        const bool control = byte < 0x20 || (byte >= 0x7F && byte <= 0x9F);
        EXPECT_EQ(mask_control_characters(one), control ? "?" : one) << "byte " << byte;
    }
}

TEST(MaskControlCharacters, ReplacesEachC1ControlWrittenAsUtf8ByOneQuestionMark) {
    EXPECT_EQ(mask_control_characters("a\xC2\x9B[2Jb"), "a?[2Jb");
    EXPECT_EQ(mask_control_characters("\xC2\x80\xC2\x9F"), "??");
    EXPECT_EQ(mask_control_characters("\xC2\xA0\xC3\x9B"), "\xC2\xA0\xC3\x9B");
    EXPECT_EQ(mask_control_characters("x\xC2"), "x\xC2");
}

TEST(MaskControlCharacters, ReplacesEachByte0x80To0x9FOutsideAUtf8CharacterByOneQuestionMark) {
    EXPECT_EQ(mask_control_characters("a\x9BJb"), "a?Jb");
    EXPECT_EQ(mask_control_characters(STRAY_CONTINUATIONS), std::string(10, '?') + "abcdefgh");
    // "€" cut short, a surrogate, and ESC and U+009B in overlong forms.
    EXPECT_EQ(mask_control_characters("\xE2\x82x"), "\xE2?x");
    EXPECT_EQ(mask_control_characters("\xED\xA0\x80"), "\xED\xA0?");
    EXPECT_EQ(mask_control_characters("\xC0\x9B\xE0\x82\x9B"), "\xC0?\xE0??");
}

TEST(MaskControlCharacters, ReplacesEachBidirectionalControlByOneQuestionMark) {
    EXPECT_EQ(mask_control_characters("a\xE2\x80\xAEtxt.exe"), "a?txt.exe");
    EXPECT_EQ(mask_control_characters("\xE2\x80\xAA\xE2\x80\xAD\xE2\x81\xA6\xE2\x81\xA9"), "????");
    // U+2029, U+202F, U+2065 and U+206A, their neighbours, stay.
    const std::string neighbours = "\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA";
    EXPECT_EQ(mask_control_characters(neighbours), neighbours);
}

TEST(MaskControlCharacters, LeavesUtf8AndOtherHighBytesAlone) {
    EXPECT_EQ(mask_control_characters("Prüfung/Größe €.txt"), "Prüfung/Größe €.txt");
    // Characters whose continuation bytes lie in 0x80 to 0x9F.
    EXPECT_EQ(mask_control_characters("€—Āő\xF0\x9F\x98\x80"), "€—Āő\xF0\x9F\x98\x80");
    EXPECT_EQ(mask_control_characters(SINGLE_BYTE_NAME), SINGLE_BYTE_NAME);
    EXPECT_EQ(mask_control_characters("ä\nö"), "ä?ö");
}

}  // namespace
