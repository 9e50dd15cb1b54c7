// The text model of an ini file, with the reading and writing rules of the
// Windows profile functions, for platforms that do not have them.
//
// The document keeps the file's bytes exactly as read. A lookup scans them
// afresh; a write splices one line in and leaves every other byte alone, so
// comments, other sections, other keys, blank lines, unusual line endings
// and even binary junk survive a write unchanged.
//
// Text is UTF-8; bytes that are not valid UTF-8 are kept, and names holding
// them compare those bytes exactly. Lines end at '\n'; a '\r' before it
// (CRLF files) is white space.
//
// Reading rules (as the Windows profile reader answers):
// - "[name]" opens a section: the name runs from the first '[' to the last
//   ']' of the line and is trimmed. Lines before the first section belong to
//   none.
// - A line whose first non-blank character is ';' is a comment.
// - Any other line with '=' is a key: the name is the trimmed text before the
//   first '=', the value the trimmed text after it. Lines without '=' are
//   kept but carry no key.
// - Section and key names compare case-insensitively (ASCII, Latin-1, Greek
//   and Cyrillic letters; other characters compare exactly). The names asked
//   for are trimmed too.
// - Only the first section of a name counts, and in it the first key of a
//   name; later duplicates are kept but never read or written.
// - A value enclosed in matching single or double quotes loses them, and is
//   then cut to kMaxValueCodePoints code points.
// White space is blank, tab, CR, VT, FF and Ctrl-Z (the old end-of-file mark).
#ifndef TALLYSERVICE_SRC_HOST_INI_DOCUMENT_H_
#define TALLYSERVICE_SRC_HOST_INI_DOCUMENT_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace tally {

class IniDocument {
  public:
    // A value is read into 260 wide characters, the terminator included.
    static constexpr size_t kMaxValueCodePoints = 259;

    IniDocument() = default;
    explicit IniDocument(std::string text) : m_text(std::move(text)) {}

    // The document's text, to be written back to the file.
    const std::string& Text() const { return m_text; }

    // The value of `key` in `section`; empty when the section, the key or the
    // value is missing, and for an empty section or key name.
    std::string Get(std::string_view section, std::string_view key) const;

    // Stores `value` under `key` in `section`. An existing key's line becomes
    // "key=value" (the key spelled as in the file; its line ending stays).
    // A new key goes behind the last non-blank line of the section, a new
    // section with its key at the end of the text; new lines take the line
    // ending of the text's first line (LF for an empty text).
    //
    // Answers false, leaving the text unchanged, for what one line cannot
    // hold so that it reads back: an empty (after trimming) section or key;
    // CR, LF or NUL in any argument; a key holding '=' or starting with ';'
    // or '['.
    bool Set(std::string_view section, std::string_view key, std::string_view value);

  private:
    std::string m_text;
};

}  // namespace tally

#endif  // TALLYSERVICE_SRC_HOST_INI_DOCUMENT_H_
