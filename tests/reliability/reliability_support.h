// What the reliability tests need from the operating system beyond the test
// harness: telling whether a library is loaded, the properties of the
// platform's ledger writer, and the ledger faults only this platform can
// stage. One implementation per platform (reliability_support_posix.cpp,
// reliability_support_win.cpp), picked by CMake. Texts are UTF-8.
#ifndef TALLYSERVICE_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H_
#define TALLYSERVICE_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H_

#include <filesystem>
#include <string>
#include <vector>

namespace tally {
namespace testing {

// Whether a library whose file name is `fileName` is loaded in this process.
bool IsLibraryLoaded(const std::string& fileName);

// Whether the platform's ledger writer replaces the file whole and takes
// turns with writers in other processes, so that a reader never sees a torn
// file and no writer loses another's keys. The Linux writer does; the
// Windows profile functions promise neither.
extern const bool kLedgerWriterIsAtomicAcrossProcesses;

// The names of the ways of making the ledger unwritable that only this
// platform can stage (Linux: a read-only file system, a full one and the
// file-size limit; Windows: none).
std::vector<std::string> PlatformLedgerFaults();

// Stages fault `name` on the ledger at `ledger`, which holds the host's
// lines. Called in a scenario before it starts any thread; answers false,
// with the reason in `*why`, where the system does not allow it. Whatever it
// sets up ends with the scenario's process.
bool ApplyPlatformLedgerFault(const std::string& name, const std::filesystem::path& ledger,
                              std::string* why);
// Makes the ledger writable again after ApplyPlatformLedgerFault; answers
// false, with the reason, where the system refused.
bool LiftPlatformLedgerFault(const std::string& name, const std::filesystem::path& ledger,
                             std::string* why);

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H_
