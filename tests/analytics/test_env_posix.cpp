#include <cstdlib>

#include "analytics_test_util.h"

namespace tally {
namespace testing {

void SetEnv(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}

void UnsetEnv(const char* name) {
    unsetenv(name);
}

}  // namespace testing
}  // namespace tally
