#include "reliability_support.h"

#include <windows.h>

#include "support/wide_text_win.h"

namespace tally {
namespace testing {

const bool kLedgerWriterIsAtomicAcrossProcesses = false;

bool IsLibraryLoaded(const std::string& fileName) {
    return GetModuleHandleW(Widen(fileName).c_str()) != nullptr;
}

std::vector<std::string> PlatformLedgerFaults() {
    return {};
}

bool ApplyPlatformLedgerFault(const std::string& name, const std::filesystem::path&,
                              std::string* why) {
    *why = "no fault " + name + " on Windows";
    return false;
}

bool LiftPlatformLedgerFault(const std::string&, const std::filesystem::path&, std::string*) {
    return false;
}

}  // namespace testing
}  // namespace tally
