// Stand-in analytics library. It sends nothing; it records every call so that
// tests can see what the service handed over, and it can be told to fail its
// initialisation or to hold deliveries back:
//
//   TALLY_STANDIN_LOG          binary file that every call is appended to (see
//                              below); unset: the calls are not recorded.
//   TALLY_STANDIN_INIT_RESULT  what ReportInit answers: one integer, or a comma
//                              list answered in turn by successive calls (the
//                              last one repeats). Default 1.
//   TALLY_STANDIN_BLOCK_FILE   while a file exists at this path, ReportOnEvent
//                              does not return (polled every 2 ms, at most
//                              60 s).
//
// A record is one kind byte, the calling thread's id (8 bytes, little-endian),
// then the call's argument as it arrived: 'I' + the 4488-byte ReportConfig,
// 'E' + the 2112-byte ReportData, 'S' with nothing, 'C' + the 4-byte consent
// in the machine's byte order. Records are written under
// one lock and flushed per call. An event is recorded when the call starts,
// before any holding back, so a test can see that the worker is inside.
//
// Built once as the library tests load, once without ReportOnSubmit
// (TALLY_STANDIN_WITHOUT_SUBMIT) to show how the service treats a library that
// lacks an entry point, and once with the optional ReportSetConsent
// (TALLY_STANDIN_WITH_CONSENT).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "TallyApi.h"
#include "env.h"
#include "no_destructor.h"

namespace {

// Never destroyed: the service's worker may still call in while the process
// runs its exit handlers.
struct StandinState {
    std::mutex mutex;
    unsigned initCalls = 0;  // guarded by mutex
};

StandinState& State() {
    static standin::NoDestructor<StandinState> state;
    return *state.get();
}

void Record(char kind, const void* body, size_t size) {
    const std::string path = standin::ReadEnv("TALLY_STANDIN_LOG");
    if (path.empty()) return;
    unsigned char header[9];
    header[0] = static_cast<unsigned char>(kind);
    uint64_t thread = standin::CurrentThreadId();
    for (int i = 0; i < 8; ++i) {
        header[1 + i] = static_cast<unsigned char>(thread & 0xFF);
        thread >>= 8;
    }
    std::lock_guard<std::mutex> lock(State().mutex);
    std::FILE* file = standin::OpenForAppend(path);
    if (!file) return;
    std::fwrite(header, 1, sizeof(header), file);
    if (size > 0) std::fwrite(body, 1, size, file);
    std::fclose(file);
}

// The `index`-th entry of the comma list `list` (the last one when the list is
// shorter); 1 when the list is empty.
int32_t InitResult(const std::string& list, unsigned index) {
    if (list.empty()) return 1;
    size_t start = 0;
    for (unsigned i = 0; i < index; ++i) {
        const size_t comma = list.find(',', start);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return static_cast<int32_t>(std::strtol(list.c_str() + start, nullptr, 10));
}

void HoldWhileBlockFileExists() {
    const std::string path = standin::ReadEnv("TALLY_STANDIN_BLOCK_FILE");
    if (path.empty()) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (standin::PathExists(path) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

extern "C" {

TALLY_API int32_t ReportInit(ReportConfig* config) {
    unsigned call = 0;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        call = State().initCalls++;
    }
    if (config) Record('I', config, sizeof(ReportConfig));
    return InitResult(standin::ReadEnv("TALLY_STANDIN_INIT_RESULT"), call);
}

TALLY_API int32_t ReportOnEvent(ReportData* record) {
    if (record) Record('E', record, sizeof(ReportData));
    HoldWhileBlockFileExists();
    return 0;
}

#if !defined(TALLY_STANDIN_WITHOUT_SUBMIT)
TALLY_API int32_t ReportOnSubmit() {
    Record('S', nullptr, 0);
    return 0;
}
#endif

#if defined(TALLY_STANDIN_WITH_CONSENT)
TALLY_API int32_t ReportSetConsent(int32_t optedIn) {
    Record('C', &optedIn, sizeof(optedIn));
    return 1;
}
#endif

}  // extern "C"
