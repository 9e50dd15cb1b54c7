#include <cstdlib>

#include "analytics_test_util.h"

namespace tally {
namespace testing {

// The C runtime's copy of the environment, which getenv reads.
void SetEnv(const char* name, const std::string& value) {
    _putenv_s(name, value.c_str());
}

void UnsetEnv(const char* name) {
    _putenv_s(name, "");
}

}  // namespace testing
}  // namespace tally
