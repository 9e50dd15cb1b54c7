// The Linux HttpClient: libcurl's multi interface, so that Cancel (through
// curl_multi_wakeup) ends a request within milliseconds instead of at the
// next progress callback.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include "upload/http_client.h"

namespace tally {

namespace {

constexpr size_t kMaxAnswerBytes = 64 * 1024;
// A transfer slower than this for kLowSpeedSeconds is abandoned.
constexpr long kLowSpeedBytes = 1024;
constexpr long kLowSpeedSeconds = 15;

struct Answer {
    std::string body;
    std::string retryAfter;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    Answer* answer = static_cast<Answer*>(user);
    size_t bytes = size * count;
    size_t room = kMaxAnswerBytes - std::min(kMaxAnswerBytes, answer->body.size());
    answer->body.append(data, std::min(room, bytes));
    return bytes;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    Answer* answer = static_cast<Answer*>(user);
    size_t bytes = size * count;
    std::string line(data, bytes);
    const std::string name = "retry-after:";
    if (line.size() > name.size()) {
        std::string head = line.substr(0, name.size());
        std::transform(head.begin(), head.end(), head.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (head == name) {
            std::string value = line.substr(name.size());
            while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) {
                value.pop_back();
            }
            answer->retryAfter = value;
        }
    }
    return bytes;
}

// Whether a file is there at all; one we may not look at counts as there.
bool Exists(const std::string& path) {
    std::error_code ec;
    std::filesystem::file_status status = std::filesystem::status(path, ec);
    return status.type() != std::filesystem::file_type::not_found;
}

// False when the file cannot be read or holds no PEM block of `kind`.
// `content`, when given, receives the file's text.
bool ReadPem(const std::string& path, const char* kind, std::string* why,
             std::string* content = nullptr) {
    // A folder opens as a stream on Linux, and reading it throws from
    // inside the stream buffer whatever its exception mask says.
    std::error_code ec;
    std::ifstream file;
    if (std::filesystem::is_regular_file(path, ec)) file.open(path, std::ios::binary);
    if (!file.is_open()) {
        *why = path + " cannot be read";
        return false;
    }
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        *why = path + " cannot be read";
        return false;
    }
    if (text.find(std::string("-----BEGIN ") + kind + "-----") == std::string::npos) {
        *why = path + " holds no PEM " + kind;
        return false;
    }
    if (content != nullptr) *content = std::move(text);
    return true;
}

class CurlClient : public HttpClient {
  public:
    explicit CurlClient(const TlsSettings& tls) : m_tls(tls) {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        m_multi = curl_multi_init();
    }
    ~CurlClient() override { curl_multi_cleanup(m_multi); }
    CurlClient(const CurlClient&) = delete;
    CurlClient& operator=(const CurlClient&) = delete;

    HttpResult Post(const HttpRequest& request) override;
    void Cancel() override {
        m_cancelled = true;
        curl_multi_wakeup(m_multi);
    }

  private:
    TlsSettings m_tls;
    std::string m_trustedCaText;  // the CA file's text at the last request
    CURLM* m_multi = nullptr;
    std::atomic<bool> m_cancelled{false};
};

HttpResult CurlClient::Post(const HttpRequest& request) {
    HttpResult result;
    if (m_cancelled || m_multi == nullptr) {
        result.kind = HttpResult::Kind::Cancelled;
        result.errorText = "cancelled";
        return result;
    }
    bool https = request.url.rfind("https://", 0) == 0;
    if (!https && !(m_tls.allowPlainHttp && request.url.rfind("http://", 0) == 0)) {
        result.kind = HttpResult::Kind::Network;
        result.errorText = "refusing a URL that is not https://";
        return result;
    }
    // The trust files are looked at on every request: a CA file put in place
    // later is used from then on, one that went away falls back to the
    // system's trust.
    bool ownCa = !m_tls.caFile.empty() && Exists(m_tls.caFile);
    bool pinned = !m_tls.pinnedKeyFile.empty() && Exists(m_tls.pinnedKeyFile);
    std::string why;
    std::string caText;
    if ((ownCa && !ReadPem(m_tls.caFile, "CERTIFICATE", &why, &caText)) ||
        (pinned && !ReadPem(m_tls.pinnedKeyFile, "PUBLIC KEY", &why))) {
        result.kind = HttpResult::Kind::TlsConfig;
        result.errorText = why;
        return result;
    }

    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        result.errorText = "curl_easy_init failed";
        return result;
    }
    Answer answer;
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    curl_slist* headers = nullptr;
    for (const auto& header : request.headers) {
        headers = curl_slist_append(headers, (header.first + ": " + header.second).c_str());
    }
    // No "Expect: 100-continue" round trip.
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, https ? "https" : "http");
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeoutMs));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(request.connectTimeoutMs > 0 ? request.connectTimeoutMs
                                                                    : request.timeoutMs));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytes);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (ownCa) {
        // Debian's libcurl also consults its compiled-in CA folder when only
        // CAINFO is set; clearing CAPATH makes the file the only anchor.
        curl_easy_setopt(easy, CURLOPT_CAINFO, m_tls.caFile.c_str());
        curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    }
    // libcurl keeps the certificates of a CA file it loaded, by path, and
    // reuses connections verified under them: neither may outlive a change
    // of the file's text.
    curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    if (caText != m_trustedCaText) {
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        m_trustedCaText = std::move(caText);
    }
    if (pinned) curl_easy_setopt(easy, CURLOPT_PINNEDPUBLICKEY, m_tls.pinnedKeyFile.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &answer);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);

    CURLcode code = CURLE_OK;
    bool finished = false;
    curl_multi_add_handle(m_multi, easy);
    while (!finished && !m_cancelled) {
        int running = 0;
        CURLMcode mc = curl_multi_perform(m_multi, &running);
        if (mc != CURLM_OK) {
            code = CURLE_FAILED_INIT;
            std::snprintf(errorBuffer, sizeof(errorBuffer), "%s", curl_multi_strerror(mc));
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(m_multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                code = message->data.result;
                finished = true;
            }
        }
        if (finished || m_cancelled) break;
        curl_multi_poll(m_multi, nullptr, 0, 1000, nullptr);
    }
    curl_multi_remove_handle(m_multi, easy);
    if (!finished) {
        result.kind = m_cancelled ? HttpResult::Kind::Cancelled : HttpResult::Kind::Network;
        result.errorText = m_cancelled ? "cancelled" : errorBuffer;
    } else if (code == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        result.kind = HttpResult::Kind::Ok;
        result.status = static_cast<int>(status);
        result.body = std::move(answer.body);
        result.retryAfter = std::move(answer.retryAfter);
    } else {
        result.errorCode = code;
        result.errorText = errorBuffer[0] != 0 ? errorBuffer : curl_easy_strerror(code);
        switch (code) {
            case CURLE_OPERATION_TIMEDOUT:
                result.kind = HttpResult::Kind::Timeout;
                break;
            case CURLE_PEER_FAILED_VERIFICATION:
            case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            case CURLE_SSL_ISSUER_ERROR:
                result.kind = HttpResult::Kind::Tls;
                break;
            case CURLE_SSL_CACERT_BADFILE:
            case CURLE_SSL_CERTPROBLEM:
                result.kind = HttpResult::Kind::TlsConfig;
                break;
            default:
                result.kind = HttpResult::Kind::Network;
                break;
        }
    }
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    return result;
}

}  // namespace

std::unique_ptr<HttpClient> MakeHttpClient(const TlsSettings& tls) {
    return std::make_unique<CurlClient>(tls);
}

}  // namespace tally
