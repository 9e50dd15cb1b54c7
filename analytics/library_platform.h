// The few operating-system facts the analytics library needs beyond the C++
// library. One file per platform defines them (library_platform_posix.cpp,
// library_platform_win.cpp); CMake picks it. Thread-safe; never throw.
#ifndef TALLYSERVICE_ANALYTICS_LIBRARY_PLATFORM_H_
#define TALLYSERVICE_ANALYTICS_LIBRARY_PLATFORM_H_

#include <cstdint>
#include <ctime>

namespace tally {

// Keeps the module that holds `address` loaded until the process ends, even
// when the host releases it: the library's own thread and a host thread that
// is still inside an entry point must never find their code unmapped.
// Answers whether the module is pinned.
bool PinLibraryContaining(const void* address);

// Runs `stop` when the process exits normally, before the handlers that were
// registered earlier (the TLS library's clean-up among them), so that the
// upload thread is no longer inside a request when they run. Windows ends
// every other thread before a library's clean-up, and the WinHTTP client
// belongs to the system: nothing is registered there.
void StopBeforeExitCleanup(void (*stop)());

// Splits `msSinceEpoch` (UTC) into local calendar fields. False on failure.
bool LocalCalendar(int64_t msSinceEpoch, std::tm* out);

}  // namespace tally

#endif  // TALLYSERVICE_ANALYTICS_LIBRARY_PLATFORM_H_
