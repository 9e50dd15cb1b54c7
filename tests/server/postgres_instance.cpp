#include "postgres_instance.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace tally {
namespace testing {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::seconds kCommandBound{60};  // initdb, pg_ctl: each well below

// The newest server installed: /usr/lib/postgresql/<major>/bin.
std::string FindServerBin() {
    std::string best;
    int bestMajor = -1;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const int major = std::atoi(entry.path().filename().c_str());
        if (major > bestMajor && fs::exists(entry.path() / "bin" / "initdb", ec)) {
            bestMajor = major;
            best = (entry.path() / "bin").string();
        }
    }
    return best;
}

}  // namespace

PostgresInstance::~PostgresInstance() {
    std::string ignored;
    if (m_running) Stop(&ignored);
    std::error_code ec;
    if (!m_folder.empty()) fs::remove_all(m_folder, ec);
}

bool PostgresInstance::Run(const std::string& program, const std::vector<std::string>& arguments,
                           std::string* error) {
    const std::string path = m_bin + "/" + program;
    const std::string log = m_folder + "/commands.log";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // Looked up before fork: the child may only make async-signal-safe calls.
    const bool root = ::geteuid() == 0;
    const passwd* nobody = root ? ::getpwnam("nobody") : nullptr;
    if (root && nobody == nullptr) {
        *error = "running as root and there is no user nobody to run the server as";
        return false;
    }
    const uid_t uid = nobody ? nobody->pw_uid : 0;
    const gid_t gid = nobody ? nobody->pw_gid : 0;
    const pid_t child = ::fork();
    if (child < 0) {
        *error = "fork failed";
        return false;
    }
    if (child == 0) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
            ::_exit(126);
        }
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + kCommandBound;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            *error = program + " did not finish in time; see " + log;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    *error = program + " failed; see " + log;
    return false;
}

bool PostgresInstance::Start(std::string* error) {
    if (m_folder.empty()) {
        m_bin = FindServerBin();
        if (m_bin.empty()) {
            *error =
                "no PostgreSQL server under /usr/lib/postgresql (scripts/bootstrap installs it)";
            return false;
        }
        // Short, under /tmp: a unix socket's path has a hundred bytes at most.
        char folder[] = "/tmp/tally-pg-XXXXXX";
        if (::mkdtemp(folder) == nullptr) {
            *error = "cannot make a temporary folder";
            return false;
        }
        m_folder = folder;
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (nobody == nullptr || ::chown(folder, nobody->pw_uid, nobody->pw_gid) != 0) {
                *error = "cannot give the temporary folder to nobody";
                return false;
            }
        }
        if (!Run("initdb",
                 {"-D", m_folder + "/data", "-U", "tally", "-A", "trust", "-E", "UTF8",
                  "--locale=C", "--no-sync"},
                 error)) {
            return false;
        }
    }
    std::string options =
        "-k " + m_folder + " -c listen_addresses='' -c max_connections=40 -c shared_buffers=64MB";
    if (!m_durable) options += " -c fsync=off";
    if (!Run("pg_ctl",
             {"start", "-D", m_folder + "/data", "-l", m_folder + "/server.log", "-w", "-t", "30",
              "-o", options},
             error)) {
        return false;
    }
    m_running = true;
    return true;
}

bool PostgresInstance::Stop(std::string* error) {
    if (!Run("pg_ctl", {"stop", "-D", m_folder + "/data", "-m", "fast", "-w", "-t", "30"}, error)) {
        return false;
    }
    m_running = false;
    return true;
}

std::string PostgresInstance::Uri(const std::string& database) const {
    return "postgresql://tally@/" + database + "?host=" + m_folder;
}

std::string PostgresInstance::CreateDatabase(const std::string& name, std::string* error) {
    PGconn* conn = PQconnectdb(Uri("postgres").c_str());
    std::string uri;
    if (PQstatus(conn) == CONNECTION_OK) {
        PGresult* result =
            PQexec(conn, ("CREATE DATABASE " + name + " TEMPLATE template0").c_str());
        if (PQresultStatus(result) == PGRES_COMMAND_OK) uri = Uri(name);
        PQclear(result);
    }
    if (uri.empty()) *error = PQerrorMessage(conn);
    PQfinish(conn);
    return uri;
}

}  // namespace testing
}  // namespace tally
