// What the stand-in host libraries need from their process: environment
// variables, files named by them, the calling thread's id and the local time.
// One implementation per platform (env_posix.cpp, env_win.cpp), picked by
// CMake. Every function is thread-safe and never throws.
//
// NOTE on encodings: the stand-ins take their settings from the environment
// as UTF-8 (Linux: the bytes as set; Windows: the wide environment converted
// to UTF-8), and hand UTF-8 paths back to these functions, which open them with
// the platform's wide file functions where there are any.
#ifndef TALLYSERVICE_STANDINS_COMMON_ENV_H_
#define TALLYSERVICE_STANDINS_COMMON_ENV_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace standin {

// The value of environment variable `name` as UTF-8; empty when it is unset.
// Read afresh on every call.
std::string ReadEnv(const char* name);

// The value of environment variable `name` as wide text (UTF-16 on Windows,
// UTF-32 on Linux); empty when it is unset.
std::wstring ReadEnvWide(const char* name);

// The user's local application data folder, without a trailing separator:
// %LOCALAPPDATA% on Windows; $XDG_DATA_HOME when set and absolute, else
// $HOME/.local/share on Linux. Empty when it cannot be had.
std::wstring LocalAppDataFolder();

// The path separator of composed paths.
wchar_t PathSeparator();

// Opens the file at the UTF-8 `path` for binary appending, creating it when
// missing. Null on failure. The caller closes it with fclose.
std::FILE* OpenForAppend(const std::string& path);

// Whether anything exists at the UTF-8 `path`.
bool PathExists(const std::string& path);

// The system's id of the calling thread.
uint64_t CurrentThreadId();

// Local time as "YYYY-MM-DD HH:MM:SS.mmm".
std::string LocalTimestamp();

}  // namespace standin

#endif  // TALLYSERVICE_STANDINS_COMMON_ENV_H_
