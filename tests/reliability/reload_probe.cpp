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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/process.h"
#include "support/recordings.h"

namespace {

namespace fs = std::filesystem;

// Ends the probe with exit code `code`, saying why.
[[noreturn]] void Fail(int code, const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::exit(code);
}

// The service as the probe calls it; a member function takes the object as
// its first argument.
struct Service {
    void* library = nullptr;
    void* (*getInstance)() = nullptr;
    void (*enable)(void*, bool) = nullptr;
    void (*p2p)(void*, bool, bool) = nullptr;
};

template <typename Fn>
void Bind(void* library, const char* name, Fn* function) {
    *function = reinterpret_cast<Fn>(tally::testing::LibrarySymbol(library, name));
    if (!*function) Fail(4, std::string("missing export ") + name);
}

// Loads the service and binds its exports by their (Itanium) mangled names.
Service Load(const fs::path& path) {
    Service service;
    std::string error;
    service.library = tally::testing::OpenLibrary(path, &error);
    if (!service.library) Fail(3, "cannot load " + path.u8string() + ": " + error);
    Bind(service.library, "_ZN12TallyService11GetInstanceEv", &service.getInstance);
    Bind(service.library, "_ZN12TallyService17EnableImprovementEb", &service.enable);
    Bind(service.library, "_ZN12TallyService9ReportP2PEbb", &service.p2p);
    return service;
}

// Unloads the service; notes and answers whether the system kept it loaded.
bool Unload(const Service& service, const fs::path& path) {
    if (!tally::testing::CloseLibrary(service.library)) Fail(6, "unloading the service failed");
    const bool loaded = tally::testing::IsLibraryLoaded(path.filename().u8string());
    tally::testing::WriteNote("loaded_after_unload", loaded ? "1" : "0");
    return loaded;
}

void WaitForEvents(size_t count) {
    size_t seen = 0;
    if (!tally::testing::WaitForStandinEvents(count, std::chrono::seconds(30), &seen)) {
        Fail(5, std::to_string(seen) + " of " + std::to_string(count) + " events arrived");
    }
}

// Before opting in a connection report waits in the queue; unloading a
// service that never started a thread destroys it with what it held, and
// the next load starts afresh. Where the system kept the library loaded, the
// first service lives on and delivers what it held first.
void ReloadIdle(const fs::path& path) {
    Service service = Load(path);
    service.p2p(service.getInstance(), true, false);
    const bool keptLoaded = Unload(service, path);
    service = Load(path);
    void* instance = service.getInstance();
    service.enable(instance, true);
    service.p2p(instance, true, true);
    WaitForEvents(keptLoaded ? 3 : 2);
}

// A service whose threads run stays resident through the unload; loading it
// again gives the same service, still initialised, with the same worker.
void ReloadRunning(const fs::path& path) {
    Service service = Load(path);
    void* first = service.getInstance();
    service.enable(first, true);
    service.p2p(first, true, false);
    service.p2p(first, true, true);
    WaitForEvents(3);
    service.p2p(first, true, false);
    Unload(service, path);
    service = Load(path);
    void* second = service.getInstance();
    tally::testing::WriteNote("same_instance", first == second ? "1" : "0");
    service.enable(second, true);
    service.p2p(second, true, false);
    service.p2p(second, true, true);
    WaitForEvents(6);
}

// Ends the process while the worker is held inside ReportOnEvent; the hold
// lasts far longer than the scenario's watchdog allows.
void ExitInside(const fs::path& path, bool unload) {
    Service service = Load(path);
    void* instance = service.getInstance();
    service.enable(instance, true);
    WaitForEvents(1);
    const std::string holdFile = tally::testing::ReadEnvironment("TALLY_STANDIN_BLOCK_FILE");
    std::ofstream(fs::u8path(holdFile), std::ios::binary) << "held\n";
    service.p2p(instance, true, false);
    service.p2p(instance, true, true);
    WaitForEvents(2);
    tally::testing::WriteNote("inside", "1");
    if (unload) Unload(service, path);
    std::fflush(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) Fail(2, "usage: tally_reload_probe MODE SERVICE_LIBRARY");
    const std::string mode = argv[1];
    const fs::path path = fs::u8path(argv[2]);
    if (mode == "reload-idle") {
        ReloadIdle(path);
    } else if (mode == "reload-running") {
        ReloadRunning(path);
    } else if (mode == "exit-inside" || mode == "unload-inside") {
        ExitInside(path, mode == "unload-inside");
    } else {
        Fail(2, "unknown mode " + mode);
    }
    return 0;
}
