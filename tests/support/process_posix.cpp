#include "support/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace tally {
namespace testing {

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

}  // namespace testing
}  // namespace tally
