#include "scoped_env.h"

#include <stdlib.h>

#include <utility>

namespace tally {
namespace testing {

void SetEnv(const std::string& name, const std::string& value) {
    if (value.empty()) {
        unsetenv(name.c_str());
    } else {
        setenv(name.c_str(), value.c_str(), 1);
    }
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : m_name(std::move(name)) {
    const char* previous = getenv(m_name.c_str());
    if (previous != nullptr) m_previous = previous;
    SetEnv(m_name, value);
}

ScopedEnv::~ScopedEnv() {
    SetEnv(m_name, m_previous);
}

}  // namespace testing
}  // namespace tally
