#include "scoped_env.h"

#include <stdlib.h>

#include <utility>

#include "platform/platform.h"

namespace tally {
namespace testing {

void SetEnv(const std::string& name, const std::string& value) {
    // The wide call keeps non-ASCII values intact; an empty value removes
    // the variable from the C runtime's and the process's environment.
    _wputenv_s(platform::Utf8ToWide(name).c_str(), platform::Utf8ToWide(value).c_str());
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : m_name(std::move(name)) {
    const wchar_t* previous = _wgetenv(platform::Utf8ToWide(m_name).c_str());
    if (previous != nullptr) platform::WideToUtf8(previous, &m_previous);
    SetEnv(m_name, value);
}

ScopedEnv::~ScopedEnv() {
    SetEnv(m_name, m_previous);
}

}  // namespace testing
}  // namespace tally
