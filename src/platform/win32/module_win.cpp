// Run-time loaded libraries of the Windows backend.

#include "platform/platform.h"

#include <windows.h>

namespace platform {

const wchar_t kAnalyticsLibraryName[] = L"Tally.dll";

void* LoadModule(const std::wstring& path, uint32_t* error) {
    // The altered search path makes the library's own dependencies resolve
    // from its folder first, not from the host executable's.
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (error != nullptr) {
        *error = module == nullptr ? static_cast<uint32_t>(GetLastError()) : 0;
    }
    return module;
}

void* ModuleSymbol(void* module, const char* name) {
    // GetProcAddress with a null module would search the executable instead.
    if (module == nullptr || name == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void UnloadModule(void* module) {
    if (module != nullptr) {
        FreeLibrary(static_cast<HMODULE>(module));
    }
}

bool PinServiceModule() {
    // The address of this function lies in the service's own module, whatever
    // the executable is. Pinning takes a reference FreeLibrary cannot drop, so
    // the detached threads' code stays mapped until the process ends.
    HMODULE self = nullptr;
    return GetModuleHandleExW(
               GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
               reinterpret_cast<LPCWSTR>(&PinServiceModule), &self) != FALSE;
}

}  // namespace platform
