#include "library_platform.h"

#include <windows.h>

namespace tally {

bool PinLibraryContaining(const void* address) {
    HMODULE module = nullptr;
    // The pinned reference outlives every FreeLibrary of the host.
    return GetModuleHandleExW(
               GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
               static_cast<LPCWSTR>(address), &module) != 0;
}

void StopBeforeExitCleanup(void (*)()) {}

bool LocalCalendar(int64_t msSinceEpoch, std::tm* out) {
    __time64_t seconds = static_cast<__time64_t>(msSinceEpoch / 1000);
    return _localtime64_s(out, &seconds) == 0;
}

}  // namespace tally
