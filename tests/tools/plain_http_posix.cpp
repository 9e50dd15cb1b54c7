#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "plain_http.h"

namespace tally {
namespace testing {

std::string PlainHttp(int port, const std::string& method, const std::string& path,
                      const std::string& body) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return std::string();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        const std::string request = PlainHttpRequest(method, path, body);
        size_t sent = 0;
        while (sent < request.size()) {
            const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof(buffer), 0)) > 0;) {
            response.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    return PlainHttpBody(response);
}

}  // namespace testing
}  // namespace tally
