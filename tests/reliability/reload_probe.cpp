// A host in miniature that loads the service at run time, unloads it and
// loads it again, or ends while the service's worker is inside the analytics
// library. It writes what it saw as notes (notes.txt beside itself, read by
// the scenario runner) and answers with its exit code:
// 0 done, 2 usage, 3 load failed, 4 an export is missing, 5 an event did not
// arrive in time, 6 the unload failed.
//
//   tally_reload_probe MODE SERVICE_LIBRARY
//
// MODE:
//   reload-idle     load, report before opting in, unload, load, opt in, use
//   reload-running  load, opt in, report, unload, load, use
//   exit-inside     load, opt in, hold the library inside ReportOnEvent, end
//   unload-inside   the same, unloading the service before ending
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "reliability_support.h"
#include "support/process.h"
#include "support/recordings.h"

namespace {

namespace fs = std::filesystem;

// The exported members, by their (Itanium) mangled names; a member function
// takes the object as its first argument.
constexpr char kGetInstance[] = "_ZN12TallyService11GetInstanceEv";
constexpr char kEnableImprovement[] = "_ZN12TallyService17EnableImprovementEb";
constexpr char kReportP2P[] = "_ZN12TallyService9ReportP2PEbb";

constexpr auto kDeliveryTimeout = std::chrono::seconds(30);

struct Service {
    void* library = nullptr;
    void* (*getInstance)() = nullptr;
    void (*enable)(void*, bool) = nullptr;
    void (*p2p)(void*, bool, bool) = nullptr;
};

void Note(const std::string& key, const std::string& value) {
    std::ofstream(tally::testing::CurrentExecutablePath().parent_path() / "notes.txt",
                  std::ios::binary | std::ios::app)
        << key << '=' << value << '\n';
}

template <typename Fn>
bool Bind(void* library, const char* name, Fn* function) {
    *function = reinterpret_cast<Fn>(tally::testing::LibrarySymbol(library, name));
    if (!*function) std::fprintf(stderr, "missing export %s\n", name);
    return *function != nullptr;
}

// Loads the service; answers an exit code (0 on success).
int Load(const fs::path& path, Service* service) {
    std::string error;
    service->library = tally::testing::OpenLibrary(path, &error);
    if (!service->library) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.u8string().c_str(), error.c_str());
        return 3;
    }
    const bool bound = Bind(service->library, kGetInstance, &service->getInstance) &&
                       Bind(service->library, kEnableImprovement, &service->enable) &&
                       Bind(service->library, kReportP2P, &service->p2p);
    return bound ? 0 : 4;
}

int Unload(Service* service, const std::string& libraryName, const char* note) {
    if (!tally::testing::CloseLibrary(service->library)) {
        std::fprintf(stderr, "unloading the service failed\n");
        return 6;
    }
    *service = Service();
    Note(note, tally::testing::IsLibraryLoaded(libraryName) ? "1" : "0");
    return 0;
}

bool WaitForEvents(size_t count) {
    size_t seen = 0;
    if (tally::testing::WaitForStandinEvents(count, kDeliveryTimeout, &seen)) return true;
    std::fprintf(stderr, "%zu of %zu events arrived\n", seen, count);
    return false;
}

// Before opting in a connection report waits in the queue; unloading a
// service that never started a thread destroys it with what it held, and
// the next load starts afresh.
int ReloadIdle(const fs::path& path, const std::string& libraryName) {
    Service service;
    if (int code = Load(path, &service)) return code;
    service.p2p(service.getInstance(), true, false);
    if (int code = Unload(&service, libraryName, "loaded_after_unload")) return code;
    // Where the system kept the library loaded, the first service lives on
    // and delivers what it held first.
    const bool keptLoaded = tally::testing::IsLibraryLoaded(libraryName);
    if (int code = Load(path, &service)) return code;
    void* instance = service.getInstance();
    service.enable(instance, true);
    service.p2p(instance, true, true);
    return WaitForEvents(keptLoaded ? 3 : 2) ? 0 : 5;
}

// A service whose threads run stays resident through the unload; loading it
// again gives the same service, still initialised, with the same worker.
int ReloadRunning(const fs::path& path, const std::string& libraryName) {
    Service service;
    if (int code = Load(path, &service)) return code;
    void* first = service.getInstance();
    service.enable(first, true);
    service.p2p(first, true, false);
    service.p2p(first, true, true);
    if (!WaitForEvents(3)) return 5;
    service.p2p(first, true, false);
    if (int code = Unload(&service, libraryName, "loaded_after_unload")) return code;
    if (int code = Load(path, &service)) return code;
    void* second = service.getInstance();
    Note("same_instance", first == second ? "1" : "0");
    service.enable(second, true);
    service.p2p(second, true, false);
    service.p2p(second, true, true);
    return WaitForEvents(6) ? 0 : 5;
}

// Ends the process while the worker is held inside ReportOnEvent; the hold
// lasts far longer than the scenario's watchdog allows.
int ExitInside(const fs::path& path, const std::string& libraryName, bool unload) {
    Service service;
    if (int code = Load(path, &service)) return code;
    void* instance = service.getInstance();
    service.enable(instance, true);
    if (!WaitForEvents(1)) return 5;
    const std::string holdFile = tally::testing::ReadEnvironment("TALLY_STANDIN_BLOCK_FILE");
    std::ofstream(fs::u8path(holdFile), std::ios::binary) << "held\n";
    service.p2p(instance, true, false);
    service.p2p(instance, true, true);
    if (!WaitForEvents(2)) return 5;
    Note("inside", "1");
    if (unload) {
        if (int code = Unload(&service, libraryName, "loaded_after_unload")) return code;
    }
    std::fflush(nullptr);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s MODE SERVICE_LIBRARY\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const fs::path path = fs::u8path(argv[2]);
    const std::string libraryName = path.filename().u8string();
    if (mode == "reload-idle") return ReloadIdle(path, libraryName);
    if (mode == "reload-running") return ReloadRunning(path, libraryName);
    if (mode == "exit-inside") return ExitInside(path, libraryName, false);
    if (mode == "unload-inside") return ExitInside(path, libraryName, true);
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
