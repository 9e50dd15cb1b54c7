#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "demo_platform.h"
#include "demo_session.h"

namespace tally {
namespace demo {

void SetVariable(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}

std::filesystem::path PrepareLocalAppData(const std::filesystem::path& demoFolder,
                                          bool* insideDemoFolder) {
    // The service reads XDG_DATA_HOME afresh each time it builds its paths.
    std::filesystem::path folder = demoFolder / "xdg";
    SetVariable("XDG_DATA_HOME", folder.string());
    *insideDemoFolder = true;
    return folder;
}

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wide : text) {
        uint32_t c = static_cast<uint32_t>(wide);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::filesystem::path ProgramFolder() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
}

std::string InspectCommand() {
    return "\"" + (ProgramFolder() / "tally-inspect").u8string() + "\"";
}

bool OutputIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

}  // namespace demo
}  // namespace tally

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return tally::demo::RunDemo(arguments);
}
