// Ledger faults that Linux can stage: a read-only file system, a full one,
// and the process's file-size limit. The mounts are made in a mount
// namespace of the scenario's own, so they vanish with its process; where
// the sandbox allows no mounts, the test says so and is skipped.
#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "reliability_checks.h"
#include "support/scenario.h"

namespace {

namespace fs = std::filesystem;

using tally::testing::LedgerFault;
using tally::testing::LedgerPath;
using tally::testing::RunScenario;
using tally::testing::ScenarioOptions;
using tally::testing::ScenarioParam;
using tally::testing::ScenarioResult;

// The file-size limit, and a ledger comfortably over it, while the journal
// and the scenario's other files stay under it.
constexpr rlim_t kFileSizeLimit = 32 * 1024;
constexpr size_t kPaddedLedgerSize = 40 * 1024;

std::string SystemError(const char* call) {
    return std::string(call) + ": " + std::strerror(errno);
}

// Gives the calling thread, and the threads it starts later, mounts of its
// own. Called before the scenario starts any thread.
bool PrivateMounts(std::string* why) {
    if (unshare(CLONE_NEWNS) != 0) {
        *why = SystemError("unshare(CLONE_NEWNS)");
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = SystemError("mount(MS_PRIVATE)");
        return false;
    }
    return true;
}

// Fills the file system holding `folder` until a write fails for want of
// space; answers whether it got there.
bool FillUp(const fs::path& filler) {
    std::FILE* file = std::fopen(filler.c_str(), "wb");
    if (!file) return false;
    const std::string block(4096, 'f');
    for (int i = 0; i < 100000; ++i) {
        if (std::fwrite(block.data(), 1, block.size(), file) != block.size() ||
            std::fflush(file) != 0) {
            const bool full = errno == ENOSPC;
            std::fclose(file);
            return full;
        }
    }
    std::fclose(file);
    return false;
}

TALLY_SCENARIO(UnwritableLedgerPosix) {
    const std::string fault = ScenarioParam("fault");
    const fs::path ledger = LedgerPath();
    const std::string folder = ledger.parent_path().string();
    LedgerFault ways;
    if (fault == "read_only_mount") {
        ways.apply = [folder](std::string* why) {
            if (!PrivateMounts(why)) return false;
            if (mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY,
                      nullptr) != 0) {
                *why = SystemError("read-only bind mount");
                return false;
            }
            return true;
        };
        ways.lift = [folder] { EXPECT_EQ(0, umount(folder.c_str())) << SystemError("umount"); };
    } else if (fault == "disk_full") {
        const fs::path filler = ledger.parent_path() / "filler";
        ways.apply = [folder, ledger, filler](std::string* why) {
            if (!PrivateMounts(why)) return false;
            if (mount("tally-full", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
                *why = SystemError("mount tmpfs");
                return false;
            }
            std::ofstream(ledger, std::ios::binary) << tally::testing::kForeignLedger;
            if (!FillUp(filler)) {
                *why = "the small file system did not fill up";
                return false;
            }
            return true;
        };
        ways.lift = [filler] { fs::remove(filler); };
    } else if (fault == "file_size_limit") {
        ways.apply = [ledger](std::string* why) {
            // A ledger padded past the limit: rewriting it must fail.
            std::ofstream file(ledger, std::ios::binary | std::ios::app);
            file << "; " << std::string(kPaddedLedgerSize, 'p') << "\n";
            file.close();
            // Writing past the limit fails with EFBIG instead of ending the
            // process with SIGXFSZ.
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit;
            getrlimit(RLIMIT_FSIZE, &limit);
            limit.rlim_cur = kFileSizeLimit;
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                *why = SystemError("setrlimit");
                return false;
            }
            return true;
        };
        ways.lift = [] {
            struct rlimit limit;
            getrlimit(RLIMIT_FSIZE, &limit);
            limit.rlim_cur = limit.rlim_max;
            EXPECT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit)) << SystemError("setrlimit");
        };
    } else {
        FAIL() << "no fault " << fault;
    }
    tally::testing::ExerciseUnwritableLedger(ways);
}

void RunPosixFault(const std::string& fault) {
    ScenarioOptions options;
    options.params = {{"fault", fault}};
    const ScenarioResult result = RunScenario("UnwritableLedgerPosix", options);
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    if (!result.Note("skip").empty()) GTEST_SKIP() << fault << ": " << result.Note("skip");
    for (const auto& line : result.journal) {
        EXPECT_NE(5, line.severity) << line.function << ": " << line.message;
    }
}

TEST(LedgerFaultsPosix, ReadOnlyFileSystemMakesEveryReportAgainAndKeepsTheLedger) {
    RunPosixFault("read_only_mount");
}

TEST(LedgerFaultsPosix, FullFileSystemLeavesTheLedgerWholeAndNoTemporaryFile) {
    RunPosixFault("disk_full");
}

TEST(LedgerFaultsPosix, FileSizeLimitLeavesTheLedgerWholeAndNoTemporaryFile) {
    RunPosixFault("file_size_limit");
}

}  // namespace
