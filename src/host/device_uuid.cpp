#include "host/device_uuid.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "host/smbios.h"
#include "platform/platform.h"

namespace tally {
namespace {

// Lifetime of the process-wide SmbiosInfo.
//
// It is created once, by the first caller (std::call_once, so two threads
// asking at once still read the firmware once), and released by UnloadCleanup
// when the library unloads. The service's detached threads keep running while
// the process exits and may build a report, and so call GetDeviceUuid, during
// or after that clean-up. So the clean-up never frees the instance under a
// reader, and readers after it still get the machine's UUID:
// - every reader announces itself in g_readers before it loads g_instance and
//   withdraws after copying the bytes;
// - the clean-up keeps a copy of the bytes in g_releasedUuid (plain storage
//   that is never destroyed), sets g_released, empties g_instance, and
//   deletes the instance only when no reader is inside; otherwise the
//   process, which is ending anyway, keeps those 16 bytes.
// All operations are sequentially consistent: a reader that loaded the
// instance before it was taken out is counted when the clean-up looks; one
// that loads the emptied pointer finds g_released set and the copy complete.
// Once set, g_instance changes only in the clean-up: creation happens once.
// The clean-up takes no lock and waits for nothing, because on Windows the
// other threads may already have been stopped anywhere when it runs.
// Every object here is trivially destructible, so readers may use them after
// the library's other statics are gone.
std::once_flag g_createOnce;
std::atomic<SmbiosInfo*> g_instance{nullptr};
std::atomic<unsigned> g_readers{0};
std::atomic<bool> g_released{false};
uint8_t g_releasedUuid[16] = {};
// An instance left to a reader still inside at unload. Kept here so that it
// stays reachable: a leak checker at exit sees it as held, not lost. Never
// read, so volatile keeps the compiler from dropping the store.
SmbiosInfo* volatile g_leftToReaders = nullptr;

struct UnloadCleanup {
    UnloadCleanup() = default;
    UnloadCleanup(const UnloadCleanup&) = delete;
    UnloadCleanup& operator=(const UnloadCleanup&) = delete;
    ~UnloadCleanup() {
        // Nothing created yet (or creation failed): nothing to free. A first
        // call racing with the unload keeps its instance until the end.
        SmbiosInfo* info = g_instance.load();
        if (info == nullptr) return;
        std::memcpy(g_releasedUuid, info->SystemUuid, sizeof(g_releasedUuid));
        g_released.store(true);
        g_instance.store(nullptr);
        if (g_readers.load() == 0) {
            delete info;
        } else {
            g_leftToReaders = info;
        }
    }
};
UnloadCleanup g_unloadCleanup;

// Copies the system UUID into `out`; false when the reader could not be
// created (allocation failure).
bool CopySystemUuid(uint8_t out[16]) {
    std::call_once(g_createOnce, [] { g_instance.store(new (std::nothrow) SmbiosInfo()); });
    g_readers.fetch_add(1);
    bool copied = false;
    if (SmbiosInfo* info = g_instance.load()) {
        std::memcpy(out, info->SystemUuid, 16);
        copied = true;
    } else if (g_released.load()) {
        std::memcpy(out, g_releasedUuid, 16);
        copied = true;
    }
    g_readers.fetch_sub(1);
    return copied;
}

}  // namespace

std::wstring FormatDeviceUuid(const uint8_t bytes[16]) {
    const std::wstring braced = platform::FormatGuid(bytes);
    if (braced.size() < 2) return std::wstring();
    return braced.substr(1, braced.size() - 2);
}

std::wstring GetDeviceUuid() {
    uint8_t uuid[16] = {};
    // Without a reader the answer is the null GUID's text, as on a machine
    // whose firmware gives no UUID.
    CopySystemUuid(uuid);
    return FormatDeviceUuid(uuid);
}

}  // namespace tally
