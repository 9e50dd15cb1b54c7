// Sets an environment variable for the life of a test and restores it after:
// the stand-in host libraries read their answers from the environment on
// every call. One implementation per platform, picked by CMake.
#ifndef TALLYSERVICE_TESTS_HOST_SCOPED_ENV_H_
#define TALLYSERVICE_TESTS_HOST_SCOPED_ENV_H_

#include <string>

namespace tally {
namespace testing {

// Sets `name` to the UTF-8 `value`; an empty value removes the variable.
void SetEnv(const std::string& name, const std::string& value);

class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string m_name;
    std::string m_previous;
};

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_HOST_SCOPED_ENV_H_
