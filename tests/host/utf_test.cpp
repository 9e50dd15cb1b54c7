#include "host/utf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tally {
namespace {

TEST(Utf, EncodesEveryLengthAndRoundTrips) {
    // Every length, both sides of the two-to-three-byte edge and the first
    // four-byte code point: where an off-by-one shows.
    const std::u32string text = U"A\u00e9\u07ff\u0800\u20ac\U00010000\U0010FFFF";
    const std::string utf8 = utf::Utf32ToUtf8(text);
    EXPECT_EQ("A\xC3\xA9\xDF\xBF\xE0\xA0\x80\xE2\x82\xAC\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", utf8);
    EXPECT_EQ(text, utf::Utf8ToUtf32(utf8));
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
    const std::pair<std::string, std::u32string> cases[] = {
        // Stray continuation bytes and bytes that never start a sequence.
        {"\x80\xBFx\xFF", {r, r, 'x', r}},
        // Overlong forms: C0/C1 are never valid, E0 80 and F0 80 fail at byte 2.
        {"\xC0\xAF", {r, r}},
        {"\xE0\x80\xAF", {r, r, r}},
        {"\xF0\x80\x80\xAF", {r, r, r, r}},
        // Encoded surrogates and values past U+10FFFF.
        {"\xED\xA0\x80", {r, r, r}},
        {"\xF4\x90\x80\x80", {r, r, r, r}},
        // A truncated sequence is one replacement, and the byte that broke it
        // starts the next character.
        {"\xE2\x82z", {r, 'z'}},
        {"\xF0\x9F\xC3\xA9", {r, U'\u00e9'}},
        {"\xF0\x9F\x98", {r}},
        // U+FFFD itself is valid text.
        {"\xEF\xBF\xBD", {r}},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(text, utf::Utf8ToUtf32(bytes)) << bytes;
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
