#include "host/utf.h"

namespace tally {
namespace utf {
namespace {

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

}  // namespace

void AppendUtf8(uint32_t codePoint, std::string* out) {
    if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        codePoint = kReplacement;
    }
    if (codePoint < 0x80) {
        out->push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

char32_t DecodeUtf8(std::string_view text, size_t* pos) {
    const size_t size = text.size();
    size_t i = *pos;
    const unsigned char lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) {
        *pos = i;
        return lead;
    }

    // The lead byte fixes the sequence length and the range the second byte
    // must fall in; the narrowed ranges reject overlong forms, surrogates
    // and values past U+10FFFF at the earliest byte that proves them wrong.
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    char32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        // A stray continuation byte, C0, C1 or F5..FF: one replacement each.
        *pos = i;
        return kReplacement;
    }

    for (size_t n = 1; n < length; ++n) {
        if (i >= size) {
            *pos = i;
            return kReplacement;
        }
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        const bool inRange = n == 1 ? (byte >= low && byte <= high) : IsContinuation(byte);
        if (!inRange) {
            // The offending byte is not consumed: it may start the next
            // code point.
            *pos = i;
            return kReplacement;
        }
        value = (value << 6) | (byte & 0x3F);
        ++i;
    }
    *pos = i;
    return value;
}

std::string Utf32ToUtf8(std::u32string_view text) {
    return CodePointsToUtf8(text.begin(), text.end());
}

std::u32string Utf8ToUtf32(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        out.push_back(DecodeUtf8(text, &pos));
    }
    return out;
}

size_t PrefixBytes(std::string_view text, size_t maxCodePoints) {
    size_t pos = 0;
    for (size_t count = 0; count < maxCodePoints && pos < text.size(); ++count) {
        DecodeUtf8(text, &pos);
    }
    return pos;
}

}  // namespace utf
}  // namespace tally
