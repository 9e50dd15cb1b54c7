#include "host/utf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tally {
namespace {

std::u32string Decode(const std::string& bytes) {
    return utf::Utf8ToUtf32(bytes);
}

TEST(Utf, EncodesEveryLengthAndRoundTrips) {
    // Each length at its first code point too, where an off-by-one shows.
    const std::u32string text = U"A\u00e9\u0800\u20ac\U00010000\U0010FFFF";
    const std::string utf8 = utf::Utf32ToUtf8(text);
    EXPECT_EQ("A\xC3\xA9\xE0\xA0\x80\xE2\x82\xAC\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", utf8);
    EXPECT_EQ(text, Decode(utf8));
}

TEST(Utf, UnencodableCodePointsBecomeTheReplacementCharacter) {
    // Lone surrogates, values past U+10FFFF and a negative 32-bit wchar_t.
    const std::vector<int32_t> values{0xD800, 0xDFFF, 0x110000, -1};
    for (const int32_t value : values) {
        const std::vector<int32_t> one{value};
        EXPECT_EQ("\xEF\xBF\xBD", utf::CodePointsToUtf8(one.begin(), one.end())) << value;
    }
    const std::vector<int32_t> mixed{'a', 0xDC00, 'b'};
    EXPECT_EQ(
        "a\xEF\xBF\xBD"
        "b",
        utf::CodePointsToUtf8(mixed.begin(), mixed.end()));
}

TEST(Utf, EachMaximalIllFormedSubpartBecomesOneReplacement) {
    const char32_t r = utf::kReplacement;
    // Stray continuation bytes and bytes that never start a sequence.
    EXPECT_EQ((std::u32string{r, r, 'x', r}), Decode("\x80\xBF"
                                                     "x\xFF"));
    // Overlong forms: C0/C1 are never valid, E0 80 and F0 80 fail at byte 2.
    EXPECT_EQ((std::u32string{r, r}), Decode("\xC0\xAF"));
    EXPECT_EQ((std::u32string{r, r, r}), Decode("\xE0\x80\xAF"));
    EXPECT_EQ((std::u32string{r, r, r, r}), Decode("\xF0\x80\x80\xAF"));
    // Encoded surrogates and values past U+10FFFF.
    EXPECT_EQ((std::u32string{r, r, r}), Decode("\xED\xA0\x80"));
    EXPECT_EQ((std::u32string{r, r, r, r}), Decode("\xF4\x90\x80\x80"));
    // A truncated sequence is one replacement, and the byte that broke it
    // starts the next character.
    EXPECT_EQ((std::u32string{r, 'a'}), Decode("\xE2\x82"
                                               "a"));
    EXPECT_EQ((std::u32string{r, U'\u00e9'}), Decode("\xF0\x9F\xC3\xA9"));
    EXPECT_EQ((std::u32string{r}), Decode("\xF0\x9F\x98"));
    // U+FFFD itself is valid text.
    EXPECT_EQ((std::u32string{r}), Decode("\xEF\xBF\xBD"));
}

TEST(Utf, PrefixBytesNeverSplitsACharacter) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC";  // a, e-acute, euro
    EXPECT_EQ(0u, utf::PrefixBytes(text, 0));
    EXPECT_EQ(1u, utf::PrefixBytes(text, 1));
    EXPECT_EQ(3u, utf::PrefixBytes(text, 2));
    EXPECT_EQ(6u, utf::PrefixBytes(text, 3));
    EXPECT_EQ(6u, utf::PrefixBytes(text, 100));
    // A truncated sequence at the end counts as one character.
    EXPECT_EQ(3u, utf::PrefixBytes("a\xE2\x82", 2));
}

}  // namespace
}  // namespace tally
