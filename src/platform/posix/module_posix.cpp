// Executable folder and run-time loaded libraries on Linux.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

const wchar_t kAnalyticsLibraryName[] = L"libTally.so";

namespace {

// Windows' codes, which the service logs: ERROR_MOD_NOT_FOUND and
// ERROR_BAD_EXE_FORMAT.
constexpr uint32_t kErrorModuleNotFound = 126;
constexpr uint32_t kErrorBadExeFormat = 193;

// Whether `address` lies in a loaded segment of the main program, which
// dl_iterate_phdr always reports first.
bool InMainProgram(uintptr_t address) {
    struct Query {
        uintptr_t address;
        bool first;
        bool found;
    } query{address, true, false};
    dl_iterate_phdr(
        [](struct dl_phdr_info* object, size_t, void* data) -> int {
            Query* query = static_cast<Query*>(data);
            if (!query->first) return 1;
            query->first = false;
            for (ElfW(Half) i = 0; i < object->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = object->dlpi_phdr[i];
                if (segment.p_type != PT_LOAD) continue;
                const uintptr_t start = object->dlpi_addr + segment.p_vaddr;
                if (query->address >= start && query->address - start < segment.p_memsz) {
                    query->found = true;
                }
            }
            return 1;
        },
        &query);
    return query.found;
}

}  // namespace

std::wstring ExecutableFolder() {
    // /proc/self/exe is a link to the executable; its length is not known
    // beforehand, so grow the buffer until readlink leaves room to spare.
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return std::wstring();
        if (static_cast<size_t>(length) < buffer.size()) {
            std::wstring path = Utf8ToWide(std::string(buffer.data(), static_cast<size_t>(length)));
            const size_t separator = path.rfind(L'/');
            if (separator != std::wstring::npos) path.resize(separator + 1);
            return path;
        }
        if (buffer.size() >= (1u << 20)) return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

void* LoadModule(const std::wstring& path, uint32_t* error) {
    std::string native;
    WideToUtf8(path, &native);
    void* module = native.empty() ? nullptr : dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr && error != nullptr) {
        // dlopen gives text, not a code: map it by what is at the path.
        struct stat info;
        const bool isFile =
            !native.empty() && stat(native.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
        *error = isFile ? kErrorBadExeFormat : kErrorModuleNotFound;
    }
    return module;
}

void* ModuleSymbol(void* module, const char* name) {
    if (module == nullptr || name == nullptr) return nullptr;
    return dlsym(module, name);
}

void UnloadModule(void* module) {
    if (module != nullptr) dlclose(module);
}

bool PinServiceModule() {
    // Find the file this code was loaded from, then take one more reference
    // to it with RTLD_NODELETE: the library then stays mapped until the
    // process ends, whatever the host's dlclose calls.
    Dl_info info;
    if (dladdr(reinterpret_cast<const void*>(&PinServiceModule), &info) == 0 ||
        info.dli_fname == nullptr) {
        return false;
    }
    if (dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr) return true;
    // Linked into the executable itself (as in the tests): the main program
    // is never unloaded.
    return InMainProgram(reinterpret_cast<uintptr_t>(&PinServiceModule));
}

}  // namespace platform
