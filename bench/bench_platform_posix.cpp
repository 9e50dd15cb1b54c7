#include "bench_platform.h"

#include <sys/resource.h>

#include <cstdlib>

namespace tally {
namespace bench {

bool SetEnv(const char* name, const std::filesystem::path& value) {
    return ::setenv(name, value.c_str(), 1) == 0;
}

std::string PlatformName() {
    return "Linux";
}

double ProcessCpuSeconds() {
    struct rusage usage;
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return -1.0;
    const auto seconds = [](const struct timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace bench
}  // namespace tally
