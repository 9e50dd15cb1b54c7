// A host in miniature: loads the service at run time, enables it with the
// analytics stand-in beside it, has it queue events, unloads it while events
// may still be on their way, and exits. With --never-enable it only creates
// the service before unloading it, as a host whose user never opted in. The
// exit code says how far it got: 0 all done, 2 usage, 3 load failed, 4 an
// export is missing, 5 nothing was delivered, 6 the unload failed.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "support/process.h"
#include "support/recordings.h"

namespace {

// The exported members, by their (Itanium) mangled names; a member function
// takes the object as its first argument.
constexpr char kGetInstance[] = "_ZN12TallyService11GetInstanceEv";
constexpr char kEnableImprovement[] = "_ZN12TallyService17EnableImprovementEb";
constexpr char kReportSyncAppUsing[] = "_ZN12TallyService18ReportSyncAppUsingEv";
constexpr char kReportP2P[] = "_ZN12TallyService9ReportP2PEbb";

template <typename Fn>
Fn Export(void* library, const char* name) {
    Fn function = reinterpret_cast<Fn>(tally::testing::LibrarySymbol(library, name));
    if (!function) std::fprintf(stderr, "missing export %s\n", name);
    return function;
}

}  // namespace

int main(int argc, char** argv) {
    const bool neverEnable = argc == 3 && std::string(argv[2]) == "--never-enable";
    if (argc != 2 && !neverEnable) {
        std::fprintf(stderr, "usage: %s SERVICE_LIBRARY [--never-enable]\n", argv[0]);
        return 2;
    }
    std::string error;
    void* library = tally::testing::OpenLibrary(std::filesystem::u8path(argv[1]), &error);
    if (!library) {
        std::fprintf(stderr, "cannot load %s: %s\n", argv[1], error.c_str());
        return 3;
    }
    const auto getInstance = Export<void* (*)()>(library, kGetInstance);
    const auto enable = Export<void (*)(void*, bool)>(library, kEnableImprovement);
    const auto syncAppUsing = Export<bool (*)(void*)>(library, kReportSyncAppUsing);
    const auto p2p = Export<void (*)(void*, bool, bool)>(library, kReportP2P);
    if (!getInstance || !enable || !syncAppUsing || !p2p) return 4;

    void* service = getInstance();
    if (neverEnable) {
        // No thread was started: the library may really go away here.
        return tally::testing::CloseLibrary(library) ? 0 : 6;
    }
    enable(service, true);
    // The day's device report reaching the library shows the service works.
    if (!tally::testing::WaitForStandinEvents(1, std::chrono::seconds(20))) {
        std::fprintf(stderr, "no event reached the analytics library\n");
        return 5;
    }
    // More events, left for the worker while the host lets go.
    syncAppUsing(service);
    p2p(service, false, false);
    if (!tally::testing::CloseLibrary(library)) {
        std::fprintf(stderr, "unloading the service failed\n");
        return 6;
    }
    std::fflush(stderr);
    return 0;
}
