// Text conversions of the Windows backend: UTF-16 <-> UTF-8 through the
// system's code-page conversion (code page 65001, no flags), which turns
// lone surrogates and invalid UTF-8 into U+FFFD.

#include "platform/platform.h"

#include <windows.h>

#include <climits>

namespace platform {

namespace {

// UTF-8 is code page 65001; the numeric form is the documented contract.
constexpr UINT kUtf8CodePage = 65001;

}  // namespace

bool WideToUtf8(const std::wstring& in, std::string* out) {
    if (in.empty() || out == nullptr || in.size() > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    const int length = static_cast<int>(in.size());
    // Explicit lengths, not -1: the result carries no terminating NUL and
    // embedded NULs survive.
    const int needed =
        WideCharToMultiByte(kUtf8CodePage, 0, in.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed < 1) {
        return false;
    }
    out->assign(static_cast<size_t>(needed), '\0');
    const int written = WideCharToMultiByte(kUtf8CodePage, 0, in.data(), length, &(*out)[0], needed,
                                            nullptr, nullptr);
    return written > 0;
}

std::wstring Utf8ToWide(const std::string& in) {
    if (in.empty() || in.size() > static_cast<size_t>(INT_MAX)) {
        return std::wstring();
    }
    const int length = static_cast<int>(in.size());
    const int needed = MultiByteToWideChar(kUtf8CodePage, 0, in.data(), length, nullptr, 0);
    if (needed < 1) {
        return std::wstring();
    }
    std::wstring out(static_cast<size_t>(needed), L'\0');
    const int written = MultiByteToWideChar(kUtf8CodePage, 0, in.data(), length, &out[0], needed);
    if (written < 1) {
        return std::wstring();
    }
    out.resize(static_cast<size_t>(written));
    return out;
}

}  // namespace platform
