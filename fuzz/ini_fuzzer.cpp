// Parse, set, re-parse on arbitrary ini text. After a successful Set:
// - the value reads back as the reader presents it (trimmed, unquoted, cut),
//   from the document and from a fresh parse of its text;
// - the bytes that changed lie within one line, so every other line is kept;
// - keys and sections that cannot be the one written read as before.
// A refused Set leaves the text unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/ini_document.h"
#include "host/utf.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return std::string(text);
}

// ASCII names compare without case; for others the fuzzer cannot tell, so
// they are never used as probes.
bool AsciiLower(const std::string& text, std::string* lower) {
    lower->clear();
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
        lower->push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c);
    }
    return true;
}

std::string AsRead(std::string_view value) {
    std::string text = Trim(value);
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        text = text.substr(1, text.size() - 2);
    }
    return text.substr(0, tally::utf::PrefixBytes(text, tally::IniDocument::kMaxValueCodePoints));
}

// Rough (section, key) names found in the text; the parse need not match the
// document's, since any pair is a valid question.
std::vector<std::pair<std::string, std::string>> Probes(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> probes;
    std::string section;
    size_t pos = 0;
    while (pos < text.size() && probes.size() < 64) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(std::string_view(text).substr(pos, end - pos));
        pos = end + 1;
        if (!line.empty() && line.front() == '[') {
            const size_t close = line.rfind(']');
            if (close != std::string::npos && close > 0) section = Trim(line.substr(1, close - 1));
            continue;
        }
        const size_t equals = line.find('=');
        if (equals != std::string::npos) probes.emplace_back(section, Trim(line.substr(0, equals)));
    }
    return probes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::string section = provider.ConsumeRandomLengthString(24);
    const std::string key = provider.ConsumeRandomLengthString(24);
    const std::string value = provider.ConsumeRandomLengthString(300);
    const std::string text = provider.ConsumeRemainingBytesAsString();

    tally::IniDocument document(text);
    const auto probes = Probes(text);
    std::vector<std::string> before;
    for (const auto& probe : probes) before.push_back(document.Get(probe.first, probe.second));

    if (!document.Set(section, key, value)) {
        Check(document.Text() == text);
        return 0;
    }

    const std::string expected = AsRead(value);
    Check(document.Get(section, key) == expected);
    Check(tally::IniDocument(document.Text()).Get(section, key) == expected);

    // The old bytes between the common prefix and suffix hold no line break.
    const std::string& after = document.Text();
    size_t prefix = 0;
    while (prefix < text.size() && prefix < after.size() && text[prefix] == after[prefix]) ++prefix;
    size_t suffix = 0;
    while (suffix < text.size() - prefix && suffix < after.size() - prefix &&
           text[text.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
        ++suffix;
    }
    Check(text.find('\n', prefix) >= text.size() - suffix);

    std::string setSection;
    std::string setKey;
    const bool asciiSet = AsciiLower(Trim(section), &setSection) && AsciiLower(Trim(key), &setKey);
    for (size_t i = 0; i < probes.size(); ++i) {
        std::string probeSection;
        std::string probeKey;
        if (!asciiSet || !AsciiLower(probes[i].first, &probeSection) ||
            !AsciiLower(probes[i].second, &probeKey)) {
            continue;
        }
        if (probeSection == setSection && probeKey == setKey) continue;
        Check(document.Get(probes[i].first, probes[i].second) == before[i]);
    }
    return 0;
}
