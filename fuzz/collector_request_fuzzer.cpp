// The collector's request validation on arbitrary bodies and header choices.
// Whatever the bytes, it answers 200 or one of its 4xx with a reason, and an
// accepted upload holds what the collector is about to store: 1 to 20
// batches with usable ids, at most 500 events, each payload the exact text
// of a JSON object found in the body.
// Input layout (FuzzedDataProvider): the last two bytes pick Content-Type and
// Content-Encoding, the text up to the first lone backslash is the attempt
// header, the rest is the body.
#include <fuzzer/FuzzedDataProvider.h>
#include <json/json.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "collector_request.h"

namespace {

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
    if (*type) headers["content-type"] = type;
    if (*encoding) headers["content-encoding"] = encoding;
    headers["x-tally-attempt"] = provider.ConsumeRandomLengthString(24);
    const std::string body = provider.ConsumeRemainingBytesAsString();

    const Verdict verdict = ParseUpload(body, headers);
    HeaderInteger(headers, "x-tally-attempt");
    if (verdict.status != 200) {
        Check(verdict.status == 400 || verdict.status == 413 || verdict.status == 415 ||
              verdict.status == 422);
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
            Check(!event.name.empty());
            Check(body.find(event.payload) != std::string::npos);
            Check(IsObjectText(event.payload));
        }
    }
    Check(events <= kMaxEvents);
    return 0;
}
