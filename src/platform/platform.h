// The platform seam: every operating-system call of the service goes through
// the free functions declared here. One backend per platform defines them
// (src/platform/win32/*_win.cpp, src/platform/posix/*_posix.cpp); CMake picks
// the backend. Backends fetch raw facts only; parsing, naming, masking and
// policy stay in portable code so that every build and every test runs them.
//
// NOTE on encodings: paths and host texts are wide strings. On Windows they
// hold UTF-16 and go to the wide Win32 functions unchanged. On Linux a
// std::wstring holds UTF-32 code points; the backend converts paths to UTF-8
// before it hands them to the C library. WideToUtf8 is the one conversion the
// service uses for text that enters a payload or a configuration field.
//
// Unless a function says otherwise it is thread-safe, never throws, and a fact
// that cannot be had comes back empty, zero or false.
#ifndef TALLYSERVICE_SRC_PLATFORM_PLATFORM_H_
#define TALLYSERVICE_SRC_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// ---- Text -----------------------------------------------------------------

// Converts wide text to UTF-8 with the platform's code-page conversion (code
// page 65001, no flags): asks for the length first, then converts into a
// string of exactly that length. An empty input, or a length query answering
// less than 1, leaves `out` untouched and answers false; otherwise answers
// whether the conversion wrote anything. Invalid code units (lone surrogates,
// values past U+10FFFF) become U+FFFD.
bool WideToUtf8(const std::wstring& in, std::string* out);

// Converts UTF-8 to wide text; invalid sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& in);

// ---- Paths and folders ----------------------------------------------------

// The separator of composed paths: L'\\' on Windows, L'/' on Linux.
extern const wchar_t kPathSeparator;

// The folder of the host process's executable (not of this library), cut
// after its last separator, which stays. A path without a separator is
// answered whole. Empty when it cannot be had.
std::wstring ExecutableFolder();

// The user's local application data folder in short (8.3) form, without a
// trailing separator; empty when it cannot be resolved or shortened.
// Linux: $XDG_DATA_HOME when set and absolute, else $HOME/.local/share.
std::wstring LocalAppDataFolder();

// Whether anything exists at `path` (file or folder).
bool PathExists(const std::wstring& path);

// Creates one folder level. Answers false on failure (also when it exists).
bool MakeDirectory(const std::wstring& path);

// ---- Run-time loaded libraries -------------------------------------------

// The analytics library's file name in the host application's folder:
// "Tally.dll" on Windows, "libTally.so" on Linux.
extern const wchar_t kAnalyticsLibraryName[];

// Loads a library by full path, with its own dependencies resolved beside it
// (Windows: LoadLibraryExW with LOAD_WITH_ALTERED_SEARCH_PATH; Linux: dlopen
// with RTLD_NOW | RTLD_LOCAL). Null on failure, with `*error` set to the
// system's code: 126 when no file exists at the path, 193 when a file exists
// but is not a loadable library (Linux maps its failures onto these two).
void* LoadModule(const std::wstring& path, uint32_t* error);

// The address of an exported symbol, or null.
void* ModuleSymbol(void* module, const char* name);

// Releases a module loaded by LoadModule. Null is ignored.
void UnloadModule(void* module);

// Keeps the module that contains this code loaded until the process ends,
// whatever the host's unload calls. Called before the service starts threads
// that outlive any call of the host, so that their code is never unmapped.
bool PinServiceModule();

// ---- Memory -------------------------------------------------------------------

// Maps `size` bytes of zero-filled read-write pages for the caller alone, or
// answers null. Unlike a heap block, an unmapped range leaves the process at
// once. Windows: VirtualAlloc; Linux: an anonymous private mmap.
void* MapPages(size_t size);

// Unmaps pages that MapPages answered, with the size it was given. Null is
// ignored.
void UnmapPages(void* pages, size_t size);

// The process's resident memory in bytes (Linux: VmRSS; Windows: the working
// set); 0 when it cannot be had.
uint64_t ResidentMemoryBytes();

// ---- Ini files --------------------------------------------------------------

// Value of `key` in `section` of the ini file at `path`, with an empty
// default; at most 259 characters (longer values are cut). Never creates the
// file. Windows: GetPrivateProfileStringW with a 260-character buffer.
std::wstring ReadIniValue(const std::wstring& path, const std::wstring& section,
                          const std::wstring& key);

// Writes `value` under `key` in `section`, creating the file and the section
// when missing but never the folder, and keeping every other line. Answers
// whether the value was written. Linux: writes a temporary file beside the old
// one and renames it over it, under an advisory lock, so a reader never sees a
// torn file and concurrent writers do not lose each other's keys.
bool WriteIniValue(const std::wstring& path, const std::wstring& section, const std::wstring& key,
                   const std::wstring& value);

// ---- Time ---------------------------------------------------------------------

// Calendar fields as the system splits a time (Windows SYSTEMTIME).
struct CalendarTime {
    uint16_t year = 0;
    uint16_t month = 0;
    uint16_t dayOfWeek = 0;
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;
};

// Current system time (UTC) in 100-nanosecond units since 1601-01-01
// (GetSystemTimeAsFileTime).
uint64_t SystemTimeAsFileTime();

// Converts a UTC file time to local time and splits it into calendar fields
// (FileTimeToLocalFileTime, then FileTimeToSystemTime). False when either
// conversion fails.
bool FileTimeToLocalCalendar(uint64_t utcFileTime, CalendarTime* local);

// Current local wall-clock time as a file-time count (GetLocalTime, then
// SystemTimeToFileTime); 0 when the conversion fails.
int64_t LocalTimeAsFileTime();

// Monotonic milliseconds (GetTickCount64).
uint64_t TickCountMs();

// Blocks the calling thread.
void SleepMs(uint32_t milliseconds);

// ---- System facts ------------------------------------------------------------

// The inputs of the Windows version naming, as the system reports them.
struct WindowsVersionInputs {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    uint32_t platformId = 0;
    uint16_t servicePackMajor = 0;
    uint8_t productType = 0;
    uint16_t processorArchitecture = 0;  // read only for version 5.2
    int serverR2 = 0;                    // read only for version 5.2
};

// What the system says about itself.
struct OsVersionFacts {
    // Windows: true when GetVersionExW answered; `inputs` then holds its
    // numbers, refined by RtlGetNtVersionNumbers where that is available.
    bool isWindows = false;
    WindowsVersionInputs inputs;
    // Elsewhere: the system's own name ("Linux 6.1.0-21-amd64"); empty when
    // it cannot be had.
    std::wstring otherName;
};

// Queries the version facts afresh on every call.
OsVersionFacts QueryOsVersion();

// The raw SMBIOS table in the RawSMBIOSData layout (an 8-byte header whose
// bytes 4-7 hold the length of the structure data, then the data). Answers
// false, with nothing allocated, when there is no table or it cannot be read.
// Windows: GetSystemFirmwareTable('RSMB'), looked up at run time in kernel32.
// Linux: /sys/firmware/dmi/tables/DMI wrapped in the same header.
bool FetchSmbiosTable(std::unique_ptr<uint8_t[]>* buffer, size_t* size);

// Formats 16 GUID bytes (first field little-endian 32-bit, second and third
// little-endian 16-bit, then 8 bytes in order) in the registry form with
// braces and upper-case digits (StringFromGUID2): 38 characters.
std::wstring FormatGuid(const uint8_t bytes[16]);

}  // namespace platform

#endif  // TALLYSERVICE_SRC_PLATFORM_PLATFORM_H_
