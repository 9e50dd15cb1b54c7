// The per-platform pieces of tally-demo: the environment it sets for the
// host libraries, where the service will put its analytics data, and the
// console. One file per platform (demo_platform_posix.cpp,
// demo_platform_win.cpp), picked by CMake; each also holds main().
#ifndef TALLYSERVICE_TOOLS_DEMO_DEMO_PLATFORM_H_
#define TALLYSERVICE_TOOLS_DEMO_DEMO_PLATFORM_H_

#include <filesystem>
#include <string>

namespace tally {
namespace demo {

// Sets an environment variable of this process (UTF-8 value) so that the
// host libraries, which read the environment on every call, see it.
void SetVariable(const char* name, const std::string& value);

// The folder the service will take as the user's local application data
// folder. Where the platform allows it (Linux: XDG_DATA_HOME) it is pointed
// at `demoFolder`/xdg first; `insideDemoFolder` says whether that worked.
std::filesystem::path PrepareLocalAppData(const std::filesystem::path& demoFolder,
                                          bool* insideDemoFolder);

// Wide text (UTF-16 on Windows, UTF-32 on Linux) as UTF-8.
std::string ToUtf8(const std::wstring& text);

// The folder of this program (where the service looks for config/).
std::filesystem::path ProgramFolder();

// How to run the tally-inspect built beside this program, as a command line
// for the shell the demo was started from.
std::string InspectCommand();

// Whether standard output is a terminal, where a progress line can be
// redrawn in place.
bool OutputIsTerminal();

}  // namespace demo
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_DEMO_DEMO_PLATFORM_H_
