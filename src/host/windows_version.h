// The name of the operating system the service runs on, as it enters the
// device-information and remote-connection payloads.
#ifndef TALLYSERVICE_SRC_HOST_WINDOWS_VERSION_H_
#define TALLYSERVICE_SRC_HOST_WINDOWS_VERSION_H_

#include <atomic>
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

// Names the system from one query's facts (as GetWindowsVersionName
// describes); answers false, with "Unknow Platform", when the query failed.
bool NameSystem(const platform::OsVersionFacts& facts, std::wstring* name);

// Keeps the first successful name of the system; a failed query is not kept,
// so the next call asks again. Thread-safe.
class SystemNameCache {
  public:
    using Query = platform::OsVersionFacts (*)();
    explicit SystemNameCache(Query query) : m_query(query) {}
    ~SystemNameCache();
    SystemNameCache(const SystemNameCache&) = delete;
    SystemNameCache& operator=(const SystemNameCache&) = delete;

    std::wstring Get();

  private:
    const Query m_query;
    std::atomic<const std::wstring*> m_name{nullptr};
};

// Names the system, which is asked until one query succeeds. On Windows: NameWindowsVersion of
// the reported numbers, "Unknow Platform" when the query fails. Elsewhere:
// the system's own name ("Linux 6.1.0-21-amd64"), or "Unknow Platform" when
// it cannot be had. Thread-safe; never throws except std::bad_alloc.
std::wstring GetWindowsVersionName();

}  // namespace tally

#endif  // TALLYSERVICE_SRC_HOST_WINDOWS_VERSION_H_
