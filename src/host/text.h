// Text conversions used by the payload builders and the configuration.
#ifndef TALLYSERVICE_SRC_HOST_TEXT_H_
#define TALLYSERVICE_SRC_HOST_TEXT_H_

#include <string>

namespace tally {

// The UTF-8 form of wide text through the platform's conversion; an empty or
// unconvertible text gives the empty string.
std::string ToUtf8(const std::wstring& text);

}  // namespace tally

#endif  // TALLYSERVICE_SRC_HOST_TEXT_H_
