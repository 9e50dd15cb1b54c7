#include "support/process.h"
#include "support/wide_text_win.h"

#include <windows.h>

#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>

#include "platform/platform.h"

namespace tally {
namespace testing {

std::wstring Widen(const std::string& text) {
    return platform::Utf8ToWide(text);
}

namespace {

std::string Narrow(const std::wstring& text) {
    std::string out;
    platform::WideToUtf8(text, &out);
    return out;
}

std::string SystemMessage(const char* call) {
    return std::string(call) + " failed with error " + std::to_string(GetLastError());
}

// Quotes one argument so that CommandLineToArgvW (and the C runtime) give it
// back unchanged.
void AppendQuoted(const std::wstring& argument, std::wstring* commandLine) {
    if (!commandLine->empty()) commandLine->push_back(L' ');
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        commandLine->append(argument);
        return;
    }
    commandLine->push_back(L'"');
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < argument.size() && argument[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == argument.size()) {
            commandLine->append(backslashes * 2, L'\\');
            break;
        }
        if (argument[i] == L'"') {
            commandLine->append(backslashes * 2 + 1, L'\\');
        } else {
            commandLine->append(backslashes, L'\\');
        }
        commandLine->push_back(argument[i]);
    }
    commandLine->push_back(L'"');
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// The environment block CreateProcessW takes: "NAME=VALUE\0" entries sorted by
// name without regard to case, closed by one more NUL.
std::wstring EnvironmentBlock(const std::vector<EnvVar>& environment) {
    std::vector<std::pair<std::wstring, std::wstring>> entries;
    for (const EnvVar& variable : environment) {
        entries.emplace_back(Widen(variable.name), Widen(variable.value));
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return Upper(a.first) < Upper(b.first); });
    std::wstring block;
    for (const auto& entry : entries) {
        block += entry.first + L"=" + entry.second;
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

}  // namespace

std::vector<EnvVar> CurrentEnvironment() {
    std::vector<EnvVar> variables;
    wchar_t* block = GetEnvironmentStringsW();
    if (!block) return variables;
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
        const std::wstring text(entry);
        // Entries such as "=C:=C:\" describe drives, not variables.
        const size_t equals = text.find(L'=', 1);
        if (text[0] == L'=' || equals == std::wstring::npos) continue;
        variables.push_back({Narrow(text.substr(0, equals)), Narrow(text.substr(equals + 1))});
    }
    FreeEnvironmentStringsW(block);
    return variables;
}

std::string ReadEnvironment(const char* name) {
    const std::wstring wideName = Widen(name);
    const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (size == 0) return std::string();
    std::wstring value(size, L'\0');
    const DWORD written = GetEnvironmentVariableW(wideName.c_str(), &value[0], size);
    value.resize(written < size ? written : 0);
    return Narrow(value);
}

void SetEnvironment(const std::string& name, const std::string& value) {
    // The wide call keeps non-ASCII values intact and reaches both the C
    // runtime's and the process's environment.
    _wputenv_s(Widen(name).c_str(), Widen(value).c_str());
}

ProcessOutcome RunProcess(const std::filesystem::path& program,
                          const std::vector<std::string>& arguments,
                          const std::vector<EnvVar>& environment,
                          const std::filesystem::path& outputFile,
                          std::chrono::milliseconds timeout) {
    ProcessOutcome outcome;
    std::wstring commandLine;
    AppendQuoted(program.wstring(), &commandLine);
    for (const std::string& argument : arguments) AppendQuoted(Widen(argument), &commandLine);
    std::wstring block = EnvironmentBlock(environment);

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE output =
        CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        outcome.error = SystemMessage("CreateFileW");
        return outcome;
    }
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input == INVALID_HANDLE_VALUE ? nullptr : input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION process{};
    const BOOL created =
        CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT, &block[0], nullptr, &startup, &process);
    if (!created) outcome.error = SystemMessage("CreateProcessW");
    CloseHandle(output);
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    if (!created) return outcome;
    outcome.started = true;
    CloseHandle(process.hThread);

    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeout.count())) !=
        WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        outcome.timedOut = true;
    }
    DWORD exitCode = 0;
    if (GetExitCodeProcess(process.hProcess, &exitCode)) {
        outcome.exitCode = static_cast<int>(exitCode);
    }
    CloseHandle(process.hProcess);
    return outcome;
}

std::string LocalAppDataFolderFor(const std::vector<EnvVar>&) {
    // The shell's folder does not follow the environment.
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, folder))) {
        return std::string();
    }
    wchar_t shortFolder[MAX_PATH] = {};
    const DWORD length = GetShortPathNameW(folder, shortFolder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    return Narrow(shortFolder);
}

std::filesystem::path CurrentExecutablePath() {
    std::wstring buffer(32768, L'\0');  // the longest path the system has
    const DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) return std::filesystem::path();
    buffer.resize(length);
    return std::filesystem::path(buffer);
}

// What a kill -9 looks like to a shell on Linux.
const int kKilledExitCode = 137;

void KillThisProcess() {
    TerminateProcess(GetCurrentProcess(), kKilledExitCode);
    for (;;) Sleep(INFINITE);
}

int CountThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    const DWORD self = GetCurrentProcessId();
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++count;
        entry.dwSize = sizeof(entry);
    }
    CloseHandle(snapshot);
    return count;
}

void* OpenLibrary(const std::filesystem::path& path, std::string* error) {
    HMODULE library = LoadLibraryW(path.c_str());
    if (!library && error) *error = SystemMessage("LoadLibraryW");
    return reinterpret_cast<void*>(library);
}

void* LibrarySymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool CloseLibrary(void* library) {
    return FreeLibrary(static_cast<HMODULE>(library)) != FALSE;
}

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
