#include "reliability_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace tally {
namespace testing {

const bool kLedgerWriterIsAtomicAcrossProcesses = true;

bool SetProcessEnvironment(const std::string& name, const std::string& value) {
    return setenv(name.c_str(), value.c_str(), 1) == 0;
}

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

bool SetFileReadOnly(const std::filesystem::path& path, bool readOnly, std::string* why) {
    if (chmod(path.c_str(), readOnly ? 0444 : 0644) != 0) {
        *why = "chmod failed";
        return false;
    }
    if (!readOnly) return true;
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        chmod(path.c_str(), 0644);
        *why = "file permissions do not stop this process (root)";
        return false;
    }
    return true;
}

}  // namespace testing
}  // namespace tally
