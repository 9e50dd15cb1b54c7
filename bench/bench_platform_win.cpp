#include "bench_platform.h"

#include <windows.h>
#include <winsock2.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace tally {
namespace bench {

bool SetEnv(const char* name, const std::filesystem::path& value) {
    // Names are ASCII; widening them byte by byte is exact.
    const std::string narrow(name);
    const std::wstring wideName(narrow.begin(), narrow.end());
    // The process block is what the stand-ins read; the C runtime keeps a
    // copy of its own, which getenv (the analytics library's knobs) reads.
    return ::SetEnvironmentVariableW(wideName.c_str(), value.c_str()) != 0 &&
           ::_wputenv_s(wideName.c_str(), value.c_str()) == 0;
}

std::string PlatformName() {
    // Wine's ntdll exports its version; Windows' does not.
    using WineGetVersion = const char* (*)();
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const auto wineVersion = ntdll ? reinterpret_cast<WineGetVersion>(reinterpret_cast<void*>(
                                         ::GetProcAddress(ntdll, "wine_get_version")))
                                   : nullptr;
    if (wineVersion == nullptr) return "Windows";
    return std::string("Windows (Wine ") + wineVersion() + ")";
}

namespace {

// FILETIME durations count 100-nanosecond units.
double Seconds(const FILETIME& t) {
    const unsigned long long ticks =
        (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return static_cast<double>(ticks) / 1e7;
}

}  // namespace

double ProcessCpuSeconds() {
    FILETIME creation;
    FILETIME exit;
    FILETIME kernel;
    FILETIME user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &creation, &exit, &kernel, &user)) return -1.0;
    return Seconds(kernel) + Seconds(user);
}

double OtherThreadsCpuSeconds() {
    FILETIME creation;
    FILETIME exit;
    FILETIME kernel;
    FILETIME user;
    double process = ProcessCpuSeconds();
    if (process < 0 || !::GetThreadTimes(::GetCurrentThread(), &creation, &exit, &kernel, &user)) {
        return -1.0;
    }
    return process - Seconds(kernel) - Seconds(user);
}

std::string LocalHttp(int port, const char* method, const char* path, const std::string& body) {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return "";
    std::string answer;
    SOCKET fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd != INVALID_SOCKET) {
        sockaddr_in address;
        std::memset(&address, 0, sizeof(address));
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            std::string request = std::string(method) + " " + path +
                                  " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                  "Content-Type: application/json\r\nContent-Length: " +
                                  std::to_string(body.size()) + "\r\n\r\n" + body;
            size_t sent = 0;
            while (sent < request.size()) {
                int n =
                    ::send(fd, request.data() + sent, static_cast<int>(request.size() - sent), 0);
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            char buffer[4096];
            for (;;) {
                int n = ::recv(fd, buffer, sizeof(buffer), 0);
                if (n <= 0) break;
                answer.append(buffer, static_cast<size_t>(n));
            }
        }
        ::closesocket(fd);
    }
    ::WSACleanup();
    size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? "" : answer.substr(at + 4);
}

long StartProgram(const std::string&, const std::vector<std::string>&) {
    return -1;
}

int EndProgram(long, int) {
    return -1;
}

}  // namespace bench
}  // namespace tally
