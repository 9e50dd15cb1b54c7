// The tally-inspect command as a function, so that tests run it in-process
// and each platform's main() only converts its arguments to UTF-8.
#ifndef TALLYSERVICE_TOOLS_INSPECT_INSPECT_COMMAND_H_
#define TALLYSERVICE_TOOLS_INSPECT_INSPECT_COMMAND_H_

#include <ostream>
#include <string>
#include <vector>

#include "inspect_report.h"

namespace tally {
namespace inspect {

// Exit statuses of tally-inspect.
enum ExitStatus {
    kExitOk = 0,
    kExitUsage = 1,       // bad command line
    kExitMissing = 2,     // a file named on the command line does not exist
    kExitForeign = 3,     // a file is not what it should be, or cannot be read
    kExitNoSuchEvent = 4  // --event names a sequence number that is not stored
};

// Runs the command on `arguments` (UTF-8, without the program name), writing
// the report to `out` and messages to `err`. Answers the exit status.
int RunInspect(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
               const TimeFormatter& formatTime = LocalTimeText);

}  // namespace inspect
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_INSPECT_INSPECT_COMMAND_H_
