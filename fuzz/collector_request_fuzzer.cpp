// The collector's request validation on arbitrary bodies and header choices.
// Whatever the bytes, it answers 200 or one of its 4xx with a reason, and an
// accepted upload holds what the collector is about to store: 1 to 20
// batches with usable ids, at most 500 events, each payload the exact text
// of a JSON object found in the body.
// The same bytes go through what is judged before a body is read: the body's
// lines as header fields ("name: value"), with a method and path picked by
// the third byte from the end. Whatever they hold, the verdict is "read the
// body" or a refusal with a reason, and "read the body" means one
// unambiguous framing. Inflating them as gzip stays within its bound, and
// their printable form holds no control byte.
// Input layout (FuzzedDataProvider): the last three bytes pick Content-Type,
// Content-Encoding and the route, the text up to the first lone backslash is
// the attempt header, the rest is the body.
#include <fuzzer/FuzzedDataProvider.h>
#include <json/json.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "collector_request.h"

namespace {

using tally::collector::CheckHead;
using tally::collector::HeaderList;
using tally::collector::HeadVerdict;

void Check(bool condition) {
    if (!condition) std::abort();
}

bool IsObjectText(const std::string& text) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    return reader->parse(text.data(), text.data() + text.size(), &value, nullptr) &&
           value.isObject();
}

HeaderList HeaderLines(const std::string& text) {
    HeaderList headers;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            headers.emplace_back(line.substr(0, colon), line.substr(colon + 1));
        }
        start = end + 1;
    }
    return headers;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void CheckHeadOf(const std::string& text, size_t route) {
    static const char* const kMethods[] = {"POST", "GET", "PUT", "POST"};
    static const char* const kPaths[] = {"/v1/batches", "/v1/batches", "/nowhere", "/v1/batches/"};
    const HeaderList headers = HeaderLines(text);
    const HeadVerdict head = CheckHead(kMethods[route], kPaths[route], 20, headers);
    static const std::set<int> kStatuses = {0, 400, 404, 405, 411, 413, 415, 431};
    Check(kStatuses.count(head.status) == 1);
    Check(head.error.empty() == (head.status == 0));
    if (head.status != 0) return;
    Check(route == 0);
    int lengths = 0;
    int transfers = 0;
    for (const auto& header : headers) {
        const std::string name = Lower(header.first);
        lengths += name == "content-length";
        transfers += name == "transfer-encoding";
    }
    Check(lengths + transfers == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tally::collector;
    FuzzedDataProvider provider(data, size);
    static const char* const kTypes[] = {"application/json", "application/json; charset=utf-8",
                                         "text/plain",       "",
                                         "APPLICATION/JSON", "application/jsonx"};
    static const char* const kEncodings[] = {"gzip", "", "identity", "br"};
    HeaderMap headers;
    const char* type = kTypes[provider.ConsumeIntegralInRange<size_t>(0, 5)];
    const char* encoding = kEncodings[provider.ConsumeIntegralInRange<size_t>(0, 3)];
    const size_t route = provider.ConsumeIntegralInRange<size_t>(0, 3);
    if (*type) headers["content-type"] = type;
    if (*encoding) headers["content-encoding"] = encoding;
    headers["x-tally-attempt"] = provider.ConsumeRandomLengthString(24);
    const std::string body = provider.ConsumeRemainingBytesAsString();

    CheckHeadOf(body, route);
    std::string inflated;
    bool tooLarge = false;
    if (Gunzip(body, 1u << 20, &inflated, &tooLarge)) Check(inflated.size() <= 1u << 20);
    const std::string printable = Printable(body);
    for (const char c : printable) {
        Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    }
    Check(IsStorableText(printable));
    // Cut for a stored field, it stays text a store keeps, within its bound.
    const std::string cut = Printable(body, 128);
    Check(cut.size() <= 128 && IsStorableText(cut) && printable.compare(0, cut.size(), cut) == 0);

    // The same bytes as a deletion request: a verdict, and an id only when valid.
    const DeletionVerdict deletion = ParseDeletion(body);
    Check(deletion.status == 200 ? IsInstallId(deletion.installId) && deletion.error.empty()
                                 : deletion.installId.empty() && !deletion.error.empty());

    const Verdict verdict = ParseUpload(body);
    HeaderInteger(headers, "x-tally-attempt");
    if (verdict.status != 200) {
        Check(verdict.status == 400 || verdict.status == 413 || verdict.status == 422);
        Check(!verdict.error.empty());
        return 0;
    }
    Check(verdict.error.empty());
    const auto& batches = verdict.upload.batches;
    Check(!batches.empty() && batches.size() <= kMaxBatches);
    size_t events = 0;
    for (const UploadBatch& batch : batches) {
        Check(!batch.batchId.empty() && batch.batchId.size() <= 64);
        for (const UploadEvent& event : batch.events) {
            ++events;
            Check(!event.name.empty() && IsStorableText(event.name));
            Check(IsStorableText(event.payload));
            Check(body.find(event.payload) != std::string::npos);
            Check(IsObjectText(event.payload));
            // What the rollups key on is text a store keeps, read back alike.
            for (const auto& key : event.rollupKeys) Check(IsStorableText(key.second));
            Check(RollupKeysOf(event.name, event.payload) == event.rollupKeys);
        }
    }
    const std::string& installId = verdict.upload.app.installId;
    Check(installId.empty() || IsInstallId(installId));
    Check(events <= kMaxEvents);
    return 0;
}
