// Masking of identifiers before they enter a payload. Lengths and positions
// count bytes of the UTF-8 text, not characters, so a cut or a mask may fall
// inside a multi-byte character.
#include "TallyService.h"

namespace {

constexpr char kMask = '*';

}  // namespace

std::string TallyService::AnonymousByReplace(std::string text) {
    // The first four bytes are replaced; a text of up to four bytes would be
    // all mask, so it is always exactly four asterisks.
    constexpr size_t kReplaced = 4;
    if (text.size() <= kReplaced) return std::string(kReplaced, kMask);
    text.replace(0, kReplaced, kReplaced, kMask);
    return text;
}

std::string TallyService::AnonymousData(std::string text) {
    // Long texts keep their first nine bytes and their length; short ones
    // would keep too much of themselves, so they become a single asterisk.
    constexpr size_t kKept = 9;
    constexpr size_t kShortest = 19;
    if (text.size() < kShortest) return std::string(1, kMask);
    text.replace(kKept, text.size() - kKept, text.size() - kKept, kMask);
    return text;
}

std::string TallyService::AnonymousByTruncate(std::string text) {
    // Keeps the first three quarters, rounded down; texts of up to four bytes
    // stay whole.
    constexpr size_t kShortest = 5;
    if (text.size() < kShortest) return text;
    text.resize(text.size() * 3 / 4);
    return text;
}
