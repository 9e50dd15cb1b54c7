// Memory of the Windows backend: pages mapped for one owner, and the
// process's working set.
#include "platform/platform.h"

#include <windows.h>

#include <psapi.h>

namespace platform {

void* MapPages(size_t size) {
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void UnmapPages(void* pages, size_t /*size*/) {
    if (pages != nullptr) VirtualFree(pages, 0, MEM_RELEASE);
}

uint64_t ResidentMemoryBytes() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return 0;
    return counters.WorkingSetSize;
}

}  // namespace platform
