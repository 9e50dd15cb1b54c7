#include "bench_platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tally {
namespace bench {

bool SetEnv(const char* name, const std::filesystem::path& value) {
    return ::setenv(name, value.c_str(), 1) == 0;
}

std::string PlatformName() {
    return "Linux";
}

double ProcessCpuSeconds() {
    struct rusage usage;
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return -1.0;
    const auto seconds = [](const struct timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double OtherThreadsCpuSeconds() {
    struct rusage self;
    struct rusage thread;
    if (::getrusage(RUSAGE_SELF, &self) != 0 || ::getrusage(RUSAGE_THREAD, &thread) != 0) {
        return -1.0;
    }
    const auto seconds = [](const struct timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(self.ru_utime) + seconds(self.ru_stime) - seconds(thread.ru_utime) -
           seconds(thread.ru_stime);
}

std::string LocalHttp(int port, const char* method, const char* path, const std::string& body) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return "";
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0) {
        std::string request = std::string(method) + " " + path +
                              " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                              "Content-Type: application/json\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
        size_t sent = 0;
        while (sent < request.size()) {
            ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        char buffer[4096];
        for (;;) {
            ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            answer.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? "" : answer.substr(at + 4);
}

long StartProgram(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        // Ends with the benchmark, also when that is killed.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // Its line per request would mix with the benchmark's table.
        int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0) ::dup2(quiet, STDOUT_FILENO);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    return pid > 0 ? static_cast<long>(pid) : -1;
}

int EndProgram(long pid, int limitMs) {
    if (pid <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
        if (done == static_cast<pid_t>(pid)) break;
        if (done < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
            ::waitpid(static_cast<pid_t>(pid), nullptr, 0);
            return -1;
        }
        ::usleep(1000);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

}  // namespace bench
}  // namespace tally
