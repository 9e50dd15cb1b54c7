#include "host/text.h"

#include "platform/platform.h"

namespace tally {

std::string ToUtf8(const std::wstring& text) {
    // The callers always start from a fresh string and use it as it comes:
    // a failed conversion leaves it empty.
    std::string out;
    platform::WideToUtf8(text, &out);
    return out;
}

}  // namespace tally
