// The C entry points that the service binds by name. They never let an
// exception out: the service calls them from its worker thread, across a C
// boundary that cannot carry one.
#include <mutex>

#include "TallyApi.h"
#include "analytics_library.h"
#include "library_platform.h"

namespace {

// Never destroyed: the service's detached worker can still be inside
// ReportOnEvent while the host process exits and runs static destructors.
tally::AnalyticsLibrary& Library() {
    static tally::AnalyticsLibrary* library = new tally::AnalyticsLibrary();
    return *library;
}

void StopUploadAtExit() {
    try {
        Library().StopUploadForExit();
    } catch (...) {
    }
}

}  // namespace

extern "C" {

TALLY_API int32_t ReportInit(ReportConfig* config) {
    try {
        int32_t result = Library().Init(config);
        // The library's thread now runs this module's code until the process
        // ends, whatever the host does with its handle.
        if (result == 1) tally::PinLibraryContaining(reinterpret_cast<const void*>(&ReportInit));
        // Registered after the first Init made the HTTP client (and so had
        // the TLS library register its clean-up): the request in flight is
        // cancelled before that clean-up runs. A deletion request often is,
        // as hosts tend to exit right after the user opted out.
        static std::once_flag registered;
        if (result == 1) {
            std::call_once(registered, [] { tally::StopBeforeExitCleanup(&StopUploadAtExit); });
        }
        return result;
    } catch (...) {
        return 0;
    }
}

TALLY_API int32_t ReportOnEvent(ReportData* record) {
    try {
        return Library().OnEvent(record);
    } catch (...) {
        return 0;
    }
}

TALLY_API int32_t ReportOnSubmit() {
    try {
        return Library().OnSubmit();
    } catch (...) {
        return 0;
    }
}

TALLY_API int32_t ReportSetConsent(int32_t optedIn) {
    try {
        return Library().SetConsent(optedIn);
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
