// The collector's public port below TLS: raw bytes through the same parser
// configuration and head checks the front uses, without a socket. Whatever
// the bytes, the outcome is "wait for more", a whole request to serve, or a
// 4xx with a reason; never a crash, a 5xx or a read past the input. A whole
// request is framed one way only: it never has both a Content-Length and a
// Transfer-Encoding, nor either of them twice.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "collector_request.h"
#include "front.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

// Header names in the head (up to its blank line), lower-cased.
size_t Count(const std::string& head, const std::string& name) {
    size_t count = 0;
    for (size_t at = head.find("\r\n"); at != std::string::npos && at + 2 < head.size();
         at = head.find("\r\n", at + 2)) {
        const std::string line = head.substr(at + 2, name.size() + 1);
        if (tally::collector::Lower(line) == name + ":") ++count;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    tally::collector::FrontLimits limits;
    // Small limits reach the refusals with small inputs too.
    limits.headBytes = 1024;
    limits.lineBytes = 512;
    const tally::collector::FramingOutcome outcome = tally::collector::ParseFraming(bytes, limits);
    static const std::set<int> kRefusals = {400, 404, 405, 411, 413, 415, 431};
    Check(outcome.status == 0 || kRefusals.count(outcome.status) == 1);
    Check((outcome.status == 0) == outcome.error.empty());
    if (outcome.status == 0 && outcome.complete) {
        const std::string text(bytes);
        const std::string head = text.substr(0, text.find("\r\n\r\n"));
        const size_t lengths = Count(head, "content-length");
        const size_t transfers = Count(head, "transfer-encoding");
        Check(lengths + transfers == 1);
    }
    return 0;
}
