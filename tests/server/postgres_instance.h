// A PostgreSQL server of the test's own: a fresh cluster in a temporary
// folder, reached on a unix socket in that folder only (no TCP port), run
// by Debian's binaries as a child of the test program, which it does not
// outlive. As root it runs as `nobody`, since the server refuses to run as
// root. Every wait is bounded.
#ifndef TALLYSERVICE_TESTS_SERVER_POSTGRES_INSTANCE_H_
#define TALLYSERVICE_TESTS_SERVER_POSTGRES_INSTANCE_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace tally {
namespace testing {

class PostgresInstance {
  public:
    // `durable`: flush every commit to disk as a production server does
    // (for measurements); otherwise fsync is off, as tests prove logic only.
    explicit PostgresInstance(bool durable = false) : m_durable(durable) {}
    ~PostgresInstance();
    PostgresInstance(const PostgresInstance&) = delete;
    PostgresInstance& operator=(const PostgresInstance&) = delete;

    // Makes the cluster (once) and starts the server.
    bool Start(std::string* error);
    // Stops the server ("fast": open sessions are ended); the cluster stays.
    bool Stop(std::string* error);

    // A new empty database; answers its connection URI, or empty.
    std::string CreateDatabase(const std::string& name, std::string* error);
    std::string Uri(const std::string& database) const;

  private:
    // Starts `program` of the server's bin folder (as nobody when we are
    // root), its output to `log`; answers its pid, or -1.
    pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments,
                const std::string& log, std::string* error);
    // Waits (bounded) for `child` to end, and whether it ended well.
    bool Finish(pid_t child, const std::string& what, std::string* error);

    std::string m_bin;     // the server's bin folder
    std::string m_folder;  // temporary: data/, the socket, logs
    pid_t m_server = -1;   // the postmaster while it runs
    const bool m_durable;
};

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_SERVER_POSTGRES_INSTANCE_H_
