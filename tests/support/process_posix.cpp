#include "support/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tally {
namespace testing {
namespace {

namespace fs = std::filesystem;

// The file-size limit, and a ledger comfortably over it, while the journal
// and the scenario's other files stay under it.
constexpr rlim_t kFileSizeLimit = 32 * 1024;
constexpr size_t kPaddedLedgerSize = 40 * 1024;

bool SystemError(const char* call, std::string* why) {
    *why = std::string(call) + ": " + std::strerror(errno);
    return false;
}

// Gives the calling thread, and the threads it starts later, mounts of its
// own, so that they vanish with the process.
bool PrivateMounts(std::string* why) {
    if (unshare(CLONE_NEWNS) != 0) return SystemError("unshare(CLONE_NEWNS)", why);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return SystemError("mount(MS_PRIVATE)", why);
    }
    return true;
}

// Fills the file system holding `filler` until a write fails for want of
// space; answers whether it got there.
bool FillUp(const fs::path& filler) {
    std::FILE* file = std::fopen(filler.c_str(), "wb");
    if (!file) return false;
    const std::string block(4096, 'f');
    for (int i = 0; i < 100000; ++i) {
        if (std::fwrite(block.data(), 1, block.size(), file) != block.size() ||
            std::fflush(file) != 0) {
            break;
        }
    }
    const bool full = errno == ENOSPC;
    std::fclose(file);
    return full;
}

bool SetFileSizeLimit(bool limited) {
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = limited ? kFileSizeLimit : limit.rlim_max;
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

}  // namespace

std::vector<EnvVar> CurrentEnvironment() {
    std::vector<EnvVar> variables;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text(*entry);
        const size_t equals = text.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        variables.push_back({text.substr(0, equals), text.substr(equals + 1)});
    }
    return variables;
}

std::string ReadEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

void SetEnvironment(const std::string& name, const std::string& value) {
    if (value.empty()) {
        unsetenv(name.c_str());
    } else {
        setenv(name.c_str(), value.c_str(), 1);
    }
}

ProcessOutcome RunProcess(const std::filesystem::path& program,
                          const std::vector<std::string>& arguments,
                          const std::vector<EnvVar>& environment,
                          const std::filesystem::path& outputFile,
                          std::chrono::milliseconds timeout) {
    ProcessOutcome outcome;
    std::vector<std::string> argvText{program.string()};
    argvText.insert(argvText.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argvText) argv.push_back(&text[0]);
    argv.push_back(nullptr);
    std::vector<std::string> envText;
    for (const EnvVar& variable : environment)
        envText.push_back(variable.name + "=" + variable.value);
    std::vector<char*> envp;
    for (std::string& text : envText) envp.push_back(&text[0]);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        outcome.error = "posix_spawn " + program.string() + ": " + std::strerror(spawned);
        return outcome;
    }
    outcome.started = true;

    // Bounded wait: poll for the child's end until the watchdog fires.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) {
            outcome.error = std::string("waitpid: ") + std::strerror(errno);
            return outcome;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            outcome.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) {
        outcome.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome.exitCode = 128 + WTERMSIG(status);
    }
    return outcome;
}

std::string LocalAppDataFolderFor(const std::vector<EnvVar>& environment) {
    std::string xdg;
    std::string home;
    for (const EnvVar& variable : environment) {
        if (variable.name == "XDG_DATA_HOME") xdg = variable.value;
        if (variable.name == "HOME") home = variable.value;
    }
    if (!xdg.empty() && xdg[0] == '/') return xdg;
    return home.empty() ? std::string() : home + "/.local/share";
}

std::filesystem::path CurrentExecutablePath() {
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

const int kKilledExitCode = 128 + SIGKILL;

void KillThisProcess() {
    kill(getpid(), SIGKILL);
    for (;;) pause();
}

int CountThreads() {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
         it.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}

void* OpenLibrary(const std::filesystem::path& path, std::string* error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library && error) {
        const char* reason = dlerror();
        *error = reason ? reason : "dlopen failed";
    }
    return library;
}

void* LibrarySymbol(void* library, const char* name) {
    return dlsym(library, name);
}

bool CloseLibrary(void* library) {
    return dlclose(library) == 0;
}

const bool kLedgerWriterIsAtomicAcrossProcesses = true;

bool IsLibraryLoaded(const std::string& fileName) {
    // Each mapped file appears in the maps with its full path at the end of
    // the line.
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const std::string suffix = "/" + fileName;
    while (std::getline(maps, line)) {
        if (line.size() >= suffix.size() &&
            line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> PlatformLedgerFaults() {
    return {"read_only_mount", "disk_full", "file_size_limit"};
}

bool ApplyPlatformLedgerFault(const std::string& name, const fs::path& ledger, std::string* why) {
    const std::string folder = ledger.parent_path().string();
    if (name == "read_only_mount") {
        if (!PrivateMounts(why)) return false;
        if (mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) !=
                0) {
            return SystemError("read-only bind mount", why);
        }
    } else if (name == "disk_full") {
        std::stringstream hostLines;
        hostLines << std::ifstream(ledger, std::ios::binary).rdbuf();
        if (!PrivateMounts(why)) return false;
        if (mount("tally-full", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
            return SystemError("mount tmpfs", why);
        }
        std::ofstream(ledger, std::ios::binary) << hostLines.str();
        if (!FillUp(ledger.parent_path() / "filler")) {
            *why = "the small file system did not fill up";
            return false;
        }
    } else if (name == "file_size_limit") {
        // A ledger padded past the limit: rewriting it must fail, with EFBIG
        // instead of ending the process with SIGXFSZ.
        std::ofstream(ledger, std::ios::binary | std::ios::app)
            << "; " << std::string(kPaddedLedgerSize, 'p') << "\n";
        signal(SIGXFSZ, SIG_IGN);
        if (!SetFileSizeLimit(true)) return SystemError("setrlimit", why);
    } else {
        *why = "no fault " + name;
        return false;
    }
    return true;
}

bool LiftPlatformLedgerFault(const std::string& name, const fs::path& ledger, std::string* why) {
    if (name == "read_only_mount" && umount(ledger.parent_path().c_str()) != 0) {
        return SystemError("umount", why);
    }
    if (name == "file_size_limit" && !SetFileSizeLimit(false)) return SystemError("setrlimit", why);
    if (name == "disk_full") fs::remove(ledger.parent_path() / "filler");
    return true;
}

}  // namespace testing
}  // namespace tally
