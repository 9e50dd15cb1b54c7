// A Linux HTTPS server for the Windows HTTP client's test under Wine: one
// port per certificate given, every POST body appended as a line to
// <dir>/received.log (so the test can tell whether a body left the client),
// the bound ports written to <dir>/ports. A query `ms=N` delays the answer;
// every answer carries Retry-After: 7.
//   tls_test_server DIR CERT:KEY...
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DIR CERT:KEY...\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::mutex logMutex;
    std::vector<std::unique_ptr<httplib::SSLServer>> servers;
    std::string ports;
    for (int i = 2; i < argc; ++i) {
        const std::string pair = argv[i];
        const size_t colon = pair.find(':');
        auto server = std::make_unique<httplib::SSLServer>(pair.substr(0, colon).c_str(),
                                                           pair.substr(colon + 1).c_str());
        if (!server->is_valid()) {
            std::fprintf(stderr, "cannot load %s\n", pair.c_str());
            return 1;
        }
        server->set_tcp_nodelay(true);
        server->Post(".*", [&](const httplib::Request& req, httplib::Response& res) {
            if (req.has_param("ms"))
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(std::stoi(req.get_param_value("ms"))));
            {
                std::lock_guard<std::mutex> lock(logMutex);
                std::ofstream(dir + "/received.log", std::ios::app) << req.body << "\n";
            }
            res.set_header("Retry-After", "7");
            res.set_content("ok", "text/plain");
        });
        const int port = server->bind_to_any_port("127.0.0.1");
        if (port <= 0) return 1;
        ports += (ports.empty() ? "" : " ") + std::to_string(port);
        servers.push_back(std::move(server));
    }
    std::vector<std::thread> threads;
    for (auto& server : servers) threads.emplace_back([&server] { server->listen_after_bind(); });
    std::ofstream(dir + "/ports.tmp") << ports << "\n";
    std::rename((dir + "/ports.tmp").c_str(), (dir + "/ports").c_str());
    for (auto& thread : threads) thread.join();
}
