// Round trips of the UTF-8/UTF-32 conversion on arbitrary input:
// - bytes -> code points: every code point is a Unicode scalar value; encoding
//   them again gives the input back unless a replacement was made; decoding
//   is idempotent, and decoding a prefix cut by PrefixBytes gives a prefix;
// - 32-bit values -> UTF-8 -> code points: the values come back, each invalid
//   one as U+FFFD.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "host/utf.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

bool IsScalarValue(char32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace utf = tally::utf;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const std::u32string decoded = utf::Utf8ToUtf32(bytes);
    for (const char32_t c : decoded) Check(IsScalarValue(c));
    Check(decoded.size() <= size);
    const std::string encoded = utf::Utf32ToUtf8(decoded);
    if (encoded != bytes) {
        Check(decoded.find(utf::kReplacement) != std::u32string::npos);
    }
    Check(utf::Utf8ToUtf32(encoded) == decoded);

    const size_t count = size == 0 ? 0 : data[0] % (decoded.size() + 1);
    const size_t cut = utf::PrefixBytes(bytes, count);
    Check(cut <= size);
    Check(utf::Utf8ToUtf32(bytes.substr(0, cut)) == decoded.substr(0, count));

    std::vector<uint32_t> values(size / 4);
    if (!values.empty()) std::memcpy(values.data(), data, values.size() * 4);
    const std::u32string back =
        utf::Utf8ToUtf32(utf::CodePointsToUtf8(values.begin(), values.end()));
    Check(back.size() == values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        Check(back[i] == (IsScalarValue(values[i]) ? values[i] : utf::kReplacement));
    }
    return 0;
}
