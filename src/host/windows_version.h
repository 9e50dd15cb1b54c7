// The name of the operating system the service runs on, as it enters the
// device-information and remote-connection payloads.
#ifndef TALLYSERVICE_SRC_HOST_WINDOWS_VERSION_H_
#define TALLYSERVICE_SRC_HOST_WINDOWS_VERSION_H_

#include <string>

#include "platform/platform.h"

namespace tally {

// The text given when the system cannot be named.
extern const wchar_t kUnknownPlatform[];

// Names a Windows version from the facts the system reported: a product name
// from a fixed table, a blank and "major.minor.build.servicepack"; or
// "Unknow Platform" (nothing appended) for a version outside the table.
// Pure: the same inputs always give the same text.
std::wstring NameWindowsVersion(const platform::WindowsVersionInputs& inputs);

// Names the system, which is asked once per process. On Windows: NameWindowsVersion of
// the reported numbers, "Unknow Platform" when the query fails. Elsewhere:
// the system's own name ("Linux 6.1.0-21-amd64"), or "Unknow Platform" when
// it cannot be had. Thread-safe; never throws except std::bad_alloc.
std::wstring GetWindowsVersionName();

}  // namespace tally

#endif  // TALLYSERVICE_SRC_HOST_WINDOWS_VERSION_H_
