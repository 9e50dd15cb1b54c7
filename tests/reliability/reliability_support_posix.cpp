#include "reliability_support.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tally {
namespace testing {
namespace {

namespace fs = std::filesystem;

// The file-size limit, and a ledger comfortably over it, while the journal
// and the scenario's other files stay under it.
constexpr rlim_t kFileSizeLimit = 32 * 1024;
constexpr size_t kPaddedLedgerSize = 40 * 1024;

bool SystemError(const char* call, std::string* why) {
    *why = std::string(call) + ": " + std::strerror(errno);
    return false;
}

// Gives the calling thread, and the threads it starts later, mounts of its
// own, so that they vanish with the process.
bool PrivateMounts(std::string* why) {
    if (unshare(CLONE_NEWNS) != 0) return SystemError("unshare(CLONE_NEWNS)", why);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return SystemError("mount(MS_PRIVATE)", why);
    }
    return true;
}

// Fills the file system holding `filler` until a write fails for want of
// space; answers whether it got there.
bool FillUp(const fs::path& filler) {
    std::FILE* file = std::fopen(filler.c_str(), "wb");
    if (!file) return false;
    const std::string block(4096, 'f');
    for (int i = 0; i < 100000; ++i) {
        if (std::fwrite(block.data(), 1, block.size(), file) != block.size() ||
            std::fflush(file) != 0) {
            break;
        }
    }
    const bool full = errno == ENOSPC;
    std::fclose(file);
    return full;
}

bool SetFileSizeLimit(bool limited) {
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = limited ? kFileSizeLimit : limit.rlim_max;
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

}  // namespace

const bool kLedgerWriterIsAtomicAcrossProcesses = true;

bool IsLibraryLoaded(const std::string& fileName) {
    // Each mapped file appears in the maps with its full path at the end of
    // the line.
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const std::string suffix = "/" + fileName;
    while (std::getline(maps, line)) {
        if (line.size() >= suffix.size() &&
            line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> PlatformLedgerFaults() {
    return {"read_only_mount", "disk_full", "file_size_limit"};
}

bool ApplyPlatformLedgerFault(const std::string& name, const fs::path& ledger, std::string* why) {
    const std::string folder = ledger.parent_path().string();
    if (name == "read_only_mount") {
        if (!PrivateMounts(why)) return false;
        if (mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) !=
                0) {
            return SystemError("read-only bind mount", why);
        }
    } else if (name == "disk_full") {
        std::stringstream hostLines;
        hostLines << std::ifstream(ledger, std::ios::binary).rdbuf();
        if (!PrivateMounts(why)) return false;
        if (mount("tally-full", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
            return SystemError("mount tmpfs", why);
        }
        std::ofstream(ledger, std::ios::binary) << hostLines.str();
        if (!FillUp(ledger.parent_path() / "filler")) {
            *why = "the small file system did not fill up";
            return false;
        }
    } else if (name == "file_size_limit") {
        // A ledger padded past the limit: rewriting it must fail, with EFBIG
        // instead of ending the process with SIGXFSZ.
        std::ofstream(ledger, std::ios::binary | std::ios::app)
            << "; " << std::string(kPaddedLedgerSize, 'p') << "\n";
        signal(SIGXFSZ, SIG_IGN);
        if (!SetFileSizeLimit(true)) return SystemError("setrlimit", why);
    } else {
        *why = "no fault " + name;
        return false;
    }
    return true;
}

bool LiftPlatformLedgerFault(const std::string& name, const fs::path& ledger, std::string* why) {
    if (name == "read_only_mount" && umount(ledger.parent_path().c_str()) != 0) {
        return SystemError("umount", why);
    }
    if (name == "file_size_limit" && !SetFileSizeLimit(false)) return SystemError("setrlimit", why);
    if (name == "disk_full") fs::remove(ledger.parent_path() / "filler");
    return true;
}

}  // namespace testing
}  // namespace tally
