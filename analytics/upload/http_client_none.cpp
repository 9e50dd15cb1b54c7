// Stands in for the platform's client where none is built yet: every request
// ends as a network failure, so events are kept and retried later.
#include "upload/http_client.h"

namespace tally {

namespace {

class NoHttpClient : public HttpClient {
  public:
    HttpResult Post(const HttpRequest&) override {
        HttpResult result;
        result.kind = HttpResult::Kind::Network;
        result.errorText = "no HTTP client on this platform";
        return result;
    }
    void Cancel() override {}
};

}  // namespace

std::unique_ptr<HttpClient> MakeHttpClient(const TlsSettings&) {
    return std::make_unique<NoHttpClient>();
}

}  // namespace tally
