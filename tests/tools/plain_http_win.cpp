#include <winsock2.h>
#include <ws2tcpip.h>

#include "plain_http.h"

namespace tally {
namespace testing {

std::string PlainHttp(int port, const std::string& method, const std::string& path,
                      const std::string& body) {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) return std::string();
    const SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd == INVALID_SOCKET) return std::string();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        const std::string request = PlainHttpRequest(method, path, body);
        size_t sent = 0;
        while (sent < request.size()) {
            const int n =
                send(fd, request.data() + sent, static_cast<int>(request.size() - sent), 0);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        char buffer[4096];
        for (int n; (n = recv(fd, buffer, sizeof(buffer), 0)) > 0;) {
            response.append(buffer, static_cast<size_t>(n));
        }
    }
    closesocket(fd);
    return PlainHttpBody(response);
}

}  // namespace testing
}  // namespace tally
