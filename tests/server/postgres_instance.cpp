#include "postgres_instance.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
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
    Stop(&ignored);
    std::error_code ec;
    if (!m_folder.empty()) fs::remove_all(m_folder, ec);
}

pid_t PostgresInstance::Spawn(const std::string& program, const std::vector<std::string>& arguments,
                              const std::string& log, std::string* error) {
    const std::string path = m_bin + "/" + program;
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
        return -1;
    }
    const uid_t uid = nobody ? nobody->pw_uid : 0;
    const gid_t gid = nobody ? nobody->pw_gid : 0;
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        *error = "fork failed";
        return -1;
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
        // A test program that dies (a crash, a sanitizer, ctest's time-out)
        // takes its server with it: a fast shutdown. Set after setuid, which
        // clears it.
        ::prctl(PR_SET_PDEATHSIG, SIGINT);
        if (::getppid() != parent) ::_exit(125);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    return child;
}

bool PostgresInstance::Finish(pid_t child, const std::string& what, std::string* error) {
    const auto deadline = std::chrono::steady_clock::now() + kCommandBound;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            *error = what + " did not finish in time; see " + m_folder;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    *error = what + " failed; see " + m_folder;
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
        const pid_t initdb = Spawn("initdb",
                                   {"-D", m_folder + "/data", "-U", "tally", "-A", "trust", "-E",
                                    "UTF8", "--locale=C", "--no-sync"},
                                   m_folder + "/initdb.log", error);
        if (initdb < 0 || !Finish(initdb, "initdb", error)) return false;
    }
    // The server itself, not pg_ctl's daemon, so that it is our child and
    // ends with us.
    std::vector<std::string> arguments = {"-D", m_folder + "/data",   "-k", m_folder,
                                          "-c", "listen_addresses=",  "-c", "max_connections=40",
                                          "-c", "shared_buffers=64MB"};
    if (!m_durable) arguments.insert(arguments.end(), {"-c", "fsync=off"});
    m_server = Spawn("postgres", arguments, m_folder + "/server.log", error);
    if (m_server < 0) return false;
    const std::string uri = Uri("postgres");
    const auto deadline = std::chrono::steady_clock::now() + kCommandBound;
    while (PQping(uri.c_str()) != PQPING_OK) {
        int status = 0;
        if (::waitpid(m_server, &status, WNOHANG) == m_server) {
            m_server = -1;
            *error = "the server stopped while starting; see " + m_folder + "/server.log";
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Stop(error);
            *error = "the server did not start in time; see " + m_folder + "/server.log";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool PostgresInstance::Stop(std::string* error) {
    if (m_server < 0) return true;
    // SIGINT: a fast shutdown, open sessions ended.
    ::kill(m_server, SIGINT);
    const bool stopped = Finish(m_server, "the server's shutdown", error);
    m_server = -1;
    return stopped;
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
