// What the test harness needs from the operating system: its environment,
// running a program with a watchdog, finding the running program, counting
// its threads, loading a shared library at run time, and the ledger faults
// only this platform can stage. One implementation per platform
// (process_posix.cpp, process_win.cpp), picked by CMake.
//
// Texts (arguments, environment, error messages) are UTF-8; the Windows
// implementation converts them for the wide system calls.
#ifndef TALLYSERVICE_TESTS_SUPPORT_PROCESS_H_
#define TALLYSERVICE_TESTS_SUPPORT_PROCESS_H_

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace tally {
namespace testing {

// Polls `condition` until it holds or `timeout` passes; answers the last
// outcome.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// One environment variable.
struct EnvVar {
    std::string name;
    std::string value;
};

// The environment of this process.
std::vector<EnvVar> CurrentEnvironment();

// The value of environment variable `name`; empty when it is unset.
std::string ReadEnvironment(const char* name);

// Sets variable `name` of this process to `value` (both UTF-8), where the C
// library's getenv sees it too; an empty value removes the variable.
void SetEnvironment(const std::string& name, const std::string& value);

// How a program run ended.
struct ProcessOutcome {
    bool started = false;   // false: `error` says why it could not be started
    bool timedOut = false;  // the watchdog killed it
    int exitCode = -1;      // its exit status; 128 + signal number when a signal ended it
    std::string error;
};

// Runs `program` with `arguments` (after the program name) and exactly the
// variables of `environment`. Its standard output and error go to
// `outputFile`, its standard input is empty. Waits at most `timeout`; a program
// still running then is killed and reported as timed out.
ProcessOutcome RunProcess(const std::filesystem::path& program,
                          const std::vector<std::string>& arguments,
                          const std::vector<EnvVar>& environment,
                          const std::filesystem::path& outputFile,
                          std::chrono::milliseconds timeout);

// The user's local application data folder as a program started with
// `environment` finds it, in short form where the system has one, without a
// trailing separator (UTF-8): Windows asks the shell, Linux reads
// $XDG_DATA_HOME (when absolute) or $HOME/.local/share from `environment`.
std::string LocalAppDataFolderFor(const std::vector<EnvVar>& environment);

// The full path of the running program; empty when it cannot be had.
std::filesystem::path CurrentExecutablePath();

// Ends this process at once, as a kill -9 would (Windows: TerminateProcess):
// no destructor, no exit handler and no other thread runs any more.
[[noreturn]] void KillThisProcess();
// The exit status RunProcess reports for a process that did so.
extern const int kKilledExitCode;

// The number of threads of this process; -1 when it cannot be counted.
int CountThreads();

// Loads the shared library at `path` (dlopen with RTLD_NOW, LoadLibraryW).
// Null on failure, with the system's reason in `*error`.
void* OpenLibrary(const std::filesystem::path& path, std::string* error);

// The address of exported `name`, or null.
void* LibrarySymbol(void* library, const char* name);

// Releases a library opened by OpenLibrary; answers whether the system agreed.
bool CloseLibrary(void* library);

// Whether a library whose file name is `fileName` is loaded in this process.
bool IsLibraryLoaded(const std::string& fileName);

// Whether the platform's ledger writer replaces the file whole and takes
// turns with writers in other processes, so that a reader never sees a torn
// file and no writer loses another's keys. The Linux writer does; the
// Windows profile functions promise neither.
extern const bool kLedgerWriterIsAtomicAcrossProcesses;

// The names of the ways of making the ledger unwritable that only this
// platform can stage (Linux: a read-only file system, a full one and the
// file-size limit; Windows: none).
std::vector<std::string> PlatformLedgerFaults();

// Stages fault `name` on the ledger at `ledger`, which holds the host's
// lines. Called in a scenario before it starts any thread; answers false,
// with the reason in `*why`, where the system does not allow it. Whatever it
// sets up ends with the scenario's process.
bool ApplyPlatformLedgerFault(const std::string& name, const std::filesystem::path& ledger,
                              std::string* why);
// Makes the ledger writable again after ApplyPlatformLedgerFault; answers
// false, with the reason, where the system refused.
bool LiftPlatformLedgerFault(const std::string& name, const std::filesystem::path& ledger,
                             std::string* why);

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_SUPPORT_PROCESS_H_
