// The connections tally-fleet holds open beside its uploads, to see what
// they cost a server: idle TCP connections that never send a byte, and TLS
// connections that trickle a request head one byte a second. And a header
// flood: request heads far past the collector's limit, to see whether the
// memory they took comes back.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tally {
namespace fleet {

struct HeldCounts {
    int idleOpen = 0;     // connected now
    int trickleOpen = 0;  // handshake done, trickling now
    long reopened = 0;    // connections the server closed, opened again
    long trickleBytes = 0;
};

class Holders {
  public:
    Holders(std::string host, int port, int idle, int trickle);
    ~Holders();
    Holders(const Holders&) = delete;
    Holders& operator=(const Holders&) = delete;

    // Starts the thread that opens and keeps the connections; `context`
    // verifies the server as the uploads do. False with `error` set.
    bool Start(SSL_CTX* context, std::string* error);
    // Waits up to `seconds` for every connection to be open; the counts then.
    HeldCounts WaitOpen(double seconds);
    HeldCounts Counts();
    void Stop();

  private:
    struct Held;
    void Run();
    void Open(Held& held);
    void Close(Held& held, bool reopen);

    const std::string m_host;
    const int m_port;
    const int m_idle;
    const int m_trickle;
    SSL_CTX* m_context = nullptr;
    std::vector<Held> m_held;  // only the holder thread touches these
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;  // guards m_counts
    HeldCounts m_counts;
};

struct FloodResult {
    long connections = 0;
    long long bytes = 0;
    long answered = 0;  // connections that got an answer (431 expected)
};

// Sends `mebibytes` of request-head bytes over TLS, a mebibyte per
// connection in header lines of 4 KiB, `parallel` connections at a time,
// each bounded by a 5 s time-out per read or write.
FloodResult HeaderFlood(const std::string& host, int port, SSL_CTX* context, int mebibytes,
                        int parallel);

// A TCP connection to host:port, non-blocking when asked; -1 on failure.
int ConnectTcp(const std::string& host, int port, bool nonBlocking);

}  // namespace fleet
}  // namespace tally
