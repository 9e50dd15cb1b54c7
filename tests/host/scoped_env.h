// Sets an environment variable for the life of a test and restores it after:
// the stand-in host libraries read their answers from the environment on
// every call.
#ifndef TALLYSERVICE_TESTS_HOST_SCOPED_ENV_H_
#define TALLYSERVICE_TESTS_HOST_SCOPED_ENV_H_

#include <string>
#include <utility>

#include "support/process.h"

namespace tally {
namespace testing {

class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::string& value)
        : m_name(std::move(name)), m_previous(ReadEnvironment(m_name.c_str())) {
        SetEnvironment(m_name, value);
    }
    ~ScopedEnv() { SetEnvironment(m_name, m_previous); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string m_name;
    std::string m_previous;
};

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_HOST_SCOPED_ENV_H_
