// Memory of the Linux backend: pages mapped for one owner, and the process's
// resident set as the kernel counts it.
#include <sys/mman.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace platform {

void* MapPages(size_t size) {
    void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void UnmapPages(void* pages, size_t size) {
    if (pages != nullptr) munmap(pages, size);
}

uint64_t ResidentMemoryBytes() {
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (status == nullptr) return 0;
    uint64_t kib = 0;
    char line[256];
    while (std::fgets(line, sizeof(line), status) != nullptr) {
        unsigned long long value = 0;
        if (std::sscanf(line, "VmRSS: %llu kB", &value) == 1) {
            kib = value;
            break;
        }
    }
    std::fclose(status);
    return kib * 1024;
}

}  // namespace platform
