#include <io.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <string>
#include <vector>

#include "demo_platform.h"
#include "demo_session.h"

namespace tally {
namespace demo {

namespace {

std::wstring ToWide(const std::string& text) {
    int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 1) return std::wstring();
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], length);
    out.resize(static_cast<size_t>(length - 1));
    return out;
}

}  // namespace

void SetVariable(const char* name, const std::string& value) {
    // _wputenv updates both the C runtime's copy and the process environment
    // that GetEnvironmentVariableW reads.
    std::wstring assignment = ToWide(name) + L"=" + ToWide(value);
    _wputenv(assignment.c_str());
}

std::filesystem::path PrepareLocalAppData(const std::filesystem::path&, bool* insideDemoFolder) {
    // The service asks the shell for the user's local application data
    // folder; nothing in the environment moves it.
    *insideDemoFolder = false;
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, folder))) {
        return std::filesystem::path();
    }
    return std::filesystem::path(folder);
}

std::string ToUtf8(const std::wstring& text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return std::string();
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], length, nullptr, nullptr);
    out.resize(static_cast<size_t>(length - 1));
    return out;
}

std::filesystem::path ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::filesystem::path();
    return std::filesystem::path(path).parent_path();
}

std::string InspectCommand() {
    return "\"" + (ProgramFolder() / L"tally-inspect.exe").u8string() + "\"";
}

bool OutputIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

}  // namespace demo
}  // namespace tally

// Wide arguments, so that a --dir outside the ANSI code page arrives whole.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(tally::demo::ToUtf8(argv[i]));
    return tally::demo::RunDemo(arguments);
}
