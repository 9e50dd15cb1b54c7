#include "host/ini_document.h"

#include "host/utf.h"

namespace tally {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string_view Trim(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// Simple case folding for the scripts whose upper and lower case letters sit
// at a fixed distance; enough for the names an ini file of ours holds.
char32_t Fold(char32_t c) {
    if (c >= U'A' && c <= U'Z') return c + 0x20;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;     // Latin-1
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;  // Greek
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;                // Cyrillic
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;                // Cyrillic
    return c;
}

bool NamesEqual(std::string_view a, std::string_view b) {
    // Plain bytes first: most names are ASCII and equal or short.
    if (a == b) return true;
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const size_t startA = i;
        const size_t startB = j;
        const char32_t ca = utf::DecodeUtf8(a, &i);
        const char32_t cb = utf::DecodeUtf8(b, &j);
        if (ca == utf::kReplacement || cb == utf::kReplacement) {
            // Bytes that are not UTF-8 all decode to U+FFFD; compare them
            // exactly so that two different junk names stay different.
            if (a.substr(startA, i - startA) != b.substr(startB, j - startB)) return false;
        } else if (Fold(ca) != Fold(cb)) {
            return false;
        }
    }
    return i == a.size() && j == b.size();
}

enum class LineKind { Blank, Comment, Section, Key, Other };

// One line of the text: [begin, end) without its '\n' and without the '\r'
// that precedes it; `next` is where the following line starts.
struct Line {
    size_t begin = 0;
    size_t end = 0;
    size_t next = 0;
    bool terminated = false;  // ends with '\n'
    LineKind kind = LineKind::Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed
};

// Walks the lines of a text; never looks outside it.
class LineReader {
  public:
    explicit LineReader(std::string_view text) : m_text(text) {}

    bool Next(Line* line) {
        if (m_pos >= m_text.size()) return false;
        line->begin = m_pos;
        const size_t newline = m_text.find('\n', m_pos);
        if (newline == std::string_view::npos) {
            line->end = m_text.size();
            line->next = m_text.size();
            line->terminated = false;
        } else {
            line->end = newline;
            line->next = newline + 1;
            line->terminated = true;
        }
        if (line->end > line->begin && m_text[line->end - 1] == '\r') --line->end;
        m_pos = line->next;
        Classify(line);
        return true;
    }

  private:
    void Classify(Line* line) const {
        const std::string_view content = Trim(m_text.substr(line->begin, line->end - line->begin));
        line->name = {};
        line->value = {};
        if (content.empty()) {
            line->kind = LineKind::Blank;
            return;
        }
        if (content.front() == ';') {
            line->kind = LineKind::Comment;
            return;
        }
        if (content.front() == '[') {
            const size_t close = content.rfind(']');
            if (close != std::string_view::npos && close > 0) {
                line->kind = LineKind::Section;
                line->name = Trim(content.substr(1, close - 1));
                return;
            }
        }
        const size_t equals = content.find('=');
        if (equals == std::string_view::npos) {
            line->kind = LineKind::Other;
            return;
        }
        line->kind = LineKind::Key;
        line->name = Trim(content.substr(0, equals));
        line->value = Trim(content.substr(equals + 1));
    }

    std::string_view m_text;
    size_t m_pos = 0;
};

bool HasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string_view LineEnding(const std::string& text) {
    const size_t newline = text.find('\n');
    if (newline != std::string::npos && newline > 0 && text[newline - 1] == '\r') return "\r\n";
    return "\n";
}

}  // namespace

std::string IniDocument::Get(std::string_view section, std::string_view key) const {
    section = Trim(section);
    key = Trim(key);
    if (section.empty() || key.empty()) return std::string();

    LineReader reader(m_text);
    Line line;
    bool inSection = false;
    while (reader.Next(&line)) {
        if (line.kind == LineKind::Section) {
            // A second section of the same name is never consulted.
            if (inSection) break;
            inSection = NamesEqual(line.name, section);
        } else if (inSection && line.kind == LineKind::Key && NamesEqual(line.name, key)) {
            std::string_view value = line.value;
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front()) {
                value = value.substr(1, value.size() - 2);
            }
            return std::string(value.substr(0, utf::PrefixBytes(value, kMaxValueCodePoints)));
        }
    }
    return std::string();
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
    section = Trim(section);
    key = Trim(key);
    if (section.empty() || key.empty()) return false;
    if (HasLineBreakOrNul(section) || HasLineBreakOrNul(key) || HasLineBreakOrNul(value)) {
        return false;
    }
    if (key.find('=') != std::string_view::npos || key.front() == ';' || key.front() == '[') {
        return false;
    }

    const std::string_view eol = LineEnding(m_text);
    LineReader reader(m_text);
    Line line;
    bool inSection = false;
    // Where a new key goes: behind the last non-blank line of the section.
    Line lastContent;
    while (reader.Next(&line)) {
        if (line.kind == LineKind::Section) {
            if (inSection) break;
            inSection = NamesEqual(line.name, section);
            if (inSection) lastContent = line;
            continue;
        }
        if (!inSection) continue;
        if (line.kind == LineKind::Key && NamesEqual(line.name, key)) {
            std::string replacement(line.name);
            replacement += '=';
            replacement += value;
            m_text.replace(line.begin, line.end - line.begin, replacement);
            return true;
        }
        if (line.kind != LineKind::Blank) lastContent = line;
    }

    std::string entry;
    if (inSection) {
        if (!lastContent.terminated) entry += eol;
        entry += key;
        entry += '=';
        entry += value;
        entry += eol;
        m_text.insert(lastContent.next, entry);
        return true;
    }

    if (!m_text.empty() && m_text.back() != '\n') entry += eol;
    entry += '[';
    entry += section;
    entry += ']';
    entry += eol;
    entry += key;
    entry += '=';
    entry += value;
    entry += eol;
    m_text += entry;
    return true;
}

}  // namespace tally
