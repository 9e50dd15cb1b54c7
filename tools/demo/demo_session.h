// tally-demo: a desktop-client session played against the service, with the
// reference analytics library beside the program and the stand-in host
// libraries pointed at a demo folder.
#ifndef TALLYSERVICE_TOOLS_DEMO_DEMO_SESSION_H_
#define TALLYSERVICE_TOOLS_DEMO_DEMO_SESSION_H_

#include <string>
#include <vector>

namespace tally {
namespace demo {

// Runs the demo with `arguments` (UTF-8, without the program name); answers
// the exit status: 0 when everything the session made was stored.
int RunDemo(const std::vector<std::string>& arguments);

}  // namespace demo
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_DEMO_DEMO_SESSION_H_
