// What the reliability tests need from the operating system beyond the test
// harness: changing this process's environment (the stand-in host libraries
// read it afresh on every call), telling whether a library is loaded, and
// the properties of the platform's ledger writer. One implementation per
// platform (reliability_support_posix.cpp, reliability_support_win.cpp),
// picked by CMake. Texts are UTF-8.
#ifndef TALLYSERVICE_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H_
#define TALLYSERVICE_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H_

#include <filesystem>
#include <string>

namespace tally {
namespace testing {

// Sets `name` to `value` in the environment of this process, where every
// module of it reads (Windows: the process environment block, not a C
// runtime's copy). Answers whether the system agreed.
bool SetProcessEnvironment(const std::string& name, const std::string& value);

// Whether a library whose file name is `fileName` is loaded in this process.
bool IsLibraryLoaded(const std::string& fileName);

// Whether the platform's ledger writer replaces the file whole and takes
// turns with writers in other processes, so that a reader never sees a torn
// file and no writer loses another's keys. The Linux writer does; the
// Windows profile functions promise neither.
extern const bool kLedgerWriterIsAtomicAcrossProcesses;

// Sets or clears the platform's read-only mark of the file at `path`
// (Windows: the read-only attribute; Linux: the write permissions). When
// setting it, answers false, with the reason in `*why`, where the mark does
// not stop this process from opening the file for writing (root on Linux,
// and under Wine run by root); the file is then left as it was.
bool SetFileReadOnly(const std::filesystem::path& path, bool readOnly, std::string* why);

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H_
