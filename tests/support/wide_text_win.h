// UTF-8 to UTF-16 for the Windows pieces of the harness, which talk to the
// wide-character Windows functions. Included only by *_win.cpp files.
#ifndef TALLYSERVICE_TESTS_SUPPORT_WIDE_TEXT_WIN_H_
#define TALLYSERVICE_TESTS_SUPPORT_WIDE_TEXT_WIN_H_

#include <string>

namespace tally {
namespace testing {

// Invalid sequences become U+FFFD.
std::wstring Widen(const std::string& text);

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_SUPPORT_WIDE_TEXT_WIN_H_
