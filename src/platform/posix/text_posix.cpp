// Text conversion on Linux: std::wstring holds UTF-32 code points (wchar_t is
// 32 bits wide), converted by the portable UTF-8 code with the replacement
// rules of Windows' UTF-8 code page.
#include <string>

#include "host/utf.h"
#include "platform/platform.h"

static_assert(sizeof(wchar_t) == 4, "the Linux backend keeps wide text as UTF-32");

namespace platform {

bool WideToUtf8(const std::wstring& in, std::string* out) {
    if (in.empty()) return false;
    std::string converted = tally::utf::CodePointsToUtf8(in.begin(), in.end());
    // Every code point gives at least one byte; like the code-page
    // conversion, answer false without touching `out` when nothing came out.
    if (converted.empty()) return false;
    *out = std::move(converted);
    return true;
}

std::wstring Utf8ToWide(const std::string& in) {
    const std::u32string decoded = tally::utf::Utf8ToUtf32(in);
    return std::wstring(decoded.begin(), decoded.end());
}

}  // namespace platform
