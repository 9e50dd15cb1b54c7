#include "library_platform.h"

#include <dlfcn.h>

#include <cstdlib>

namespace tally {

bool PinLibraryContaining(const void* address) {
    Dl_info info;
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return false;
    }
    // RTLD_NOLOAD finds the copy already mapped; RTLD_NODELETE makes every
    // later dlclose of it keep it mapped. The extra reference is never dropped.
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

void StopBeforeExitCleanup(void (*stop)()) {
    std::atexit(stop);
}

bool LocalCalendar(int64_t msSinceEpoch, std::tm* out) {
    time_t seconds = static_cast<time_t>(msSinceEpoch / 1000);
    return localtime_r(&seconds, out) != nullptr;
}

}  // namespace tally
