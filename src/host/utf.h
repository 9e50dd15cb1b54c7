// Portable UTF-8 <-> UTF-32 conversion.
//
// The Linux backend keeps wide strings as UTF-32 code points and converts
// them to UTF-8 for the C library and for files; the conversions live here,
// outside the backend, so that every build, test and fuzzer runs them.
//
// Replacement rules, chosen to match what Windows' UTF-8 code page answers:
// - Encoding: a lone surrogate (U+D800..U+DFFF) or a value past U+10FFFF
//   becomes U+FFFD (EF BF BD).
// - Decoding: each maximal subpart of an ill-formed sequence (a stray
//   continuation byte, a truncated sequence, an overlong form, an encoded
//   surrogate, a value past U+10FFFF, the bytes C0, C1, F5..FF) becomes one
//   U+FFFD, and decoding resumes at the first byte that was not part of it.
#ifndef TALLYSERVICE_SRC_HOST_UTF_H_
#define TALLYSERVICE_SRC_HOST_UTF_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

namespace tally {
namespace utf {

// U+FFFD REPLACEMENT CHARACTER.
constexpr char32_t kReplacement = 0xFFFD;

// Appends the UTF-8 form of `codePoint` to `out`; a surrogate or a value past
// U+10FFFF appends EF BF BD instead.
void AppendUtf8(uint32_t codePoint, std::string* out);

// Decodes the code point that starts at `*pos` (which must be before the end
// of `text`) and moves `*pos` past it. Never reads outside `text`.
char32_t DecodeUtf8(std::string_view text, size_t* pos);

// UTF-8 of a sequence of code points. Takes any forward range whose elements
// convert to uint32_t (std::u32string, or std::wstring where wchar_t is 32
// bits wide: a negative wchar_t counts as a value past U+10FFFF).
template <typename Iterator>
std::string CodePointsToUtf8(Iterator first, Iterator last) {
    std::string out;
    // Paths, keys and most payload texts are ASCII: one byte per code point,
    // copied here without a call, into storage reserved once.
    out.reserve(static_cast<size_t>(std::distance(first, last)));
    for (; first != last; ++first) {
        const uint32_t codePoint = static_cast<uint32_t>(*first);
        if (codePoint < 0x80) {
            out.push_back(static_cast<char>(codePoint));
        } else {
            AppendUtf8(codePoint, &out);
        }
    }
    return out;
}

// UTF-8 of UTF-32 text.
std::string Utf32ToUtf8(std::u32string_view text);

// UTF-32 of UTF-8 text; ill-formed input is replaced as described above.
std::u32string Utf8ToUtf32(std::string_view text);

// The number of bytes of the first `maxCodePoints` code points of `text`, as
// DecodeUtf8 splits it; the whole length when `text` holds no more.
size_t PrefixBytes(std::string_view text, size_t maxCodePoints);

}  // namespace utf
}  // namespace tally

#endif  // TALLYSERVICE_SRC_HOST_UTF_H_
