// The Windows HTTP client: WinHTTP for the transfer, crypt32 for our own check
// of the server's chain when a CA file is configured.
//
// With a CA file, WinHTTP is told to ignore only the unknown root (name and
// dates stay checked) and the request goes out in two steps: the headers with
// the announced length first, which completes the TLS handshake, then our own
// chain check against the CA file (an engine whose only root is that file),
// and only if it passes the body. A server we do not trust never receives the
// events. Without a CA file WinHTTP verifies against the system store itself.
// windows.h first: the others need its types.
#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>

#include "upload/http_client.h"

namespace tally {
namespace {

constexpr size_t kMaxResponseBody = 64 * 1024;
constexpr int64_t kDefaultTimeoutMs = 30000;
constexpr int64_t kDefaultConnectTimeoutMs = 10000;
// CERT_CHAIN_ENGINE_CONFIG up to hExclusiveTrustedPeople: what Wine accepts
// (it refuses the full structure with E_INVALIDARG but honours the root).
constexpr DWORD kChainEngineConfigWin7Size = 80;

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length);
    return out;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length,
                        nullptr, nullptr);
    return out;
}

HttpResult Fail(HttpResult::Kind kind, int64_t code, const std::string& text) {
    HttpResult result;
    result.kind = kind;
    result.errorCode = code;
    result.errorText = text;
    return result;
}

// A failed WinHTTP call, sorted by what the policy does about it. Wine reports
// certificate failures as 12157 and the response timeout as WSAETIMEDOUT
// where Windows says 12175 and 12002.
HttpResult FromError(DWORD code, const char* call) {
    HttpResult::Kind kind = HttpResult::Kind::Network;
    switch (code) {
        case ERROR_WINHTTP_SECURE_FAILURE:            // 12175
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:      // 12157
        case ERROR_WINHTTP_SECURE_INVALID_CA:         // 12045
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:  // 12037
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:    // 12038
        case ERROR_WINHTTP_SECURE_INVALID_CERT:       // 12169
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:       // 12170
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:   // 12179
            kind = HttpResult::Kind::Tls;
            break;
        case ERROR_WINHTTP_TIMEOUT:  // 12002
        case WSAETIMEDOUT:           // 10060
        case ERROR_TIMEOUT:
            kind = HttpResult::Kind::Timeout;
            break;
        default:  // 12029 refused, 12030 aborted, 12152 bad reply, 12007 name, ...
            break;
    }
    return Fail(kind, code, std::string(call) + " failed with error " + std::to_string(code));
}

enum class FileState { Missing, Unreadable, Read };

FileState ReadWholeFile(const std::string& path, std::string* contents) {
    std::wstring wide = Widen(path);
    if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return FileState::Missing;
        return FileState::Unreadable;
    }
    std::ifstream in(wide.c_str(), std::ios::binary);
    if (!in) return FileState::Unreadable;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return FileState::Unreadable;
    *contents = buffer.str();
    return FileState::Read;
}

// The DER blocks of every "-----BEGIN <label>-----" section of a PEM text.
std::vector<std::vector<BYTE>> PemBlocks(const std::string& pem, const std::string& label) {
    std::vector<std::vector<BYTE>> blocks;
    const std::string begin = "-----BEGIN " + label + "-----";
    const std::string end = "-----END " + label + "-----";
    size_t pos = 0;
    while ((pos = pem.find(begin, pos)) != std::string::npos) {
        size_t stop = pem.find(end, pos);
        if (stop == std::string::npos) break;
        const size_t length = stop + end.size() - pos;
        DWORD size = 0;
        if (CryptStringToBinaryA(pem.data() + pos, static_cast<DWORD>(length),
                                 CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr) &&
            size > 0) {
            std::vector<BYTE> der(size);
            if (CryptStringToBinaryA(pem.data() + pos, static_cast<DWORD>(length),
                                     CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                                     nullptr)) {
                der.resize(size);
                blocks.push_back(std::move(der));
            }
        }
        pos = stop + end.size();
    }
    return blocks;
}

// The chain engine whose only root is the CA file, kept for as long as the
// file's text stays the same. Making one opens the system's certificate
// stores (under Wine: registry reads through its server, several milliseconds
// on a busy machine), which a drain of many requests would otherwise pay on
// each. Every request still reads the file, compares its text and builds and
// checks the server's chain anew with the engine.
struct AnchorCache {
    std::string pem;                    // the CA file's text the engine was made from
    HCERTSTORE roots = nullptr;         // its certificates
    HCERTCHAINENGINE engine = nullptr;  // null: none could be made (engineError)
    DWORD engineError = 0;
    AnchorCache() = default;
    AnchorCache(const AnchorCache&) = delete;
    AnchorCache& operator=(const AnchorCache&) = delete;
    ~AnchorCache() { Reset(); }
    void Reset() {
        if (engine) CertFreeCertificateChainEngine(engine);
        if (roots) CertCloseStore(roots, 0);
        engine = nullptr;
        roots = nullptr;
        engineError = 0;
        pem.clear();
    }
};

// What one request trusts, loaded from the files before anything is sent.
struct Trust {
    HCERTSTORE roots = nullptr;                 // the CA file; null: system trust
    HCERTCHAINENGINE engine = nullptr;          // the cache's, for `roots`
    DWORD engineError = 0;                      // why there is no engine
    CERT_PUBLIC_KEY_INFO* pinnedKey = nullptr;  // LocalAlloc'ed; null: no pin
    Trust() = default;
    Trust(const Trust&) = delete;
    Trust& operator=(const Trust&) = delete;
    ~Trust() {
        if (roots) CertCloseStore(roots, 0);
        if (pinnedKey) LocalFree(pinnedKey);
    }
};

// An engine that trusts `roots` and nothing else, or null with the error.
HCERTCHAINENGINE MakeEngine(HCERTSTORE roots, DWORD* error) {
    CERT_CHAIN_ENGINE_CONFIG config = {};
    config.cbSize = sizeof(config);
    config.hExclusiveRoot = roots;
    HCERTCHAINENGINE engine = nullptr;
    if (CertCreateCertificateChainEngine(&config, &engine)) return engine;
    config.cbSize = kChainEngineConfigWin7Size;
    if (CertCreateCertificateChainEngine(&config, &engine)) return engine;
    *error = GetLastError();
    return nullptr;
}

// Missing files mean "not configured" (system trust, no pin); a file that is
// there but unusable stops the upload before anything is sent.
bool LoadTrust(const TlsSettings& tls, AnchorCache* cache, Trust* trust, HttpResult* failure) {
    std::string text;
    if (!tls.caFile.empty()) {
        FileState state = ReadWholeFile(tls.caFile, &text);
        if (state == FileState::Unreadable) {
            *failure = Fail(HttpResult::Kind::TlsConfig, GetLastError(),
                            "CA file cannot be read: " + tls.caFile);
            return false;
        }
        if (state == FileState::Read && cache->roots && text == cache->pem) {
            if (!cache->engine) cache->engine = MakeEngine(cache->roots, &cache->engineError);
            trust->roots = CertDuplicateStore(cache->roots);
            trust->engine = cache->engine;
            trust->engineError = cache->engineError;
        } else if (state == FileState::Read) {
            cache->Reset();
            trust->roots = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
            if (!trust->roots) {
                *failure = Fail(HttpResult::Kind::TlsConfig, GetLastError(),
                                "cannot create a certificate store");
                return false;
            }
            int added = 0;
            for (const std::vector<BYTE>& der : PemBlocks(text, "CERTIFICATE")) {
                if (CertAddEncodedCertificateToStore(trust->roots, X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_ALWAYS, nullptr))
                    ++added;
            }
            if (added == 0) {
                *failure = Fail(HttpResult::Kind::TlsConfig, 0,
                                "CA file holds no certificate: " + tls.caFile);
                return false;
            }
            cache->pem = std::move(text);
            cache->roots = CertDuplicateStore(trust->roots);
            cache->engine = MakeEngine(cache->roots, &cache->engineError);
            trust->engine = cache->engine;
            trust->engineError = cache->engineError;
        }
    }
    if (!tls.pinnedKeyFile.empty()) {
        FileState state = ReadWholeFile(tls.pinnedKeyFile, &text);
        if (state == FileState::Unreadable) {
            *failure = Fail(HttpResult::Kind::TlsConfig, GetLastError(),
                            "pinned key file cannot be read: " + tls.pinnedKeyFile);
            return false;
        }
        if (state == FileState::Read) {
            std::vector<std::vector<BYTE>> keys = PemBlocks(text, "PUBLIC KEY");
            DWORD size = 0;
            if (keys.empty() ||
                !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, keys[0].data(),
                                     static_cast<DWORD>(keys[0].size()), CRYPT_DECODE_ALLOC_FLAG,
                                     nullptr, &trust->pinnedKey, &size)) {
                trust->pinnedKey = nullptr;
                *failure = Fail(HttpResult::Kind::TlsConfig, 0,
                                "pinned key file holds no public key: " + tls.pinnedKeyFile);
                return false;
            }
        }
    }
    return true;
}

// The server's chain must end in a certificate of the CA file (and nothing
// else: the engine's exclusive root), be valid now, and name `host`.
bool ChainTrusted(PCCERT_CONTEXT leaf, const Trust& trust, const std::wstring& host,
                  std::string* why) {
    HCERTCHAINENGINE engine = trust.engine;
    if (!engine) {
        *why = "no chain engine (error " + std::to_string(trust.engineError) + ")";
        return false;
    }
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    bool trusted = false;
    if (!CertGetCertificateChain(engine, leaf, nullptr, leaf->hCertStore, &para, 0, nullptr,
                                 &chain)) {
        *why = "no chain (error " + std::to_string(GetLastError()) + ")";
    } else if (chain->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR) {
        char hex[16];
        std::snprintf(hex, sizeof(hex), "0x%lx",
                      static_cast<unsigned long>(chain->TrustStatus.dwErrorStatus));
        *why = std::string("chain not trusted (status ") + hex + ")";
    } else {
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
        ssl.cbSize = sizeof(ssl);
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.pwszServerName = const_cast<wchar_t*>(host.c_str());
        CERT_CHAIN_POLICY_PARA policy = {};
        policy.cbSize = sizeof(policy);
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS status = {};
        status.cbSize = sizeof(status);
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
            *why = "policy check failed (error " + std::to_string(GetLastError()) + ")";
        } else if (status.dwError != 0) {
            char hex[16];
            std::snprintf(hex, sizeof(hex), "0x%lx", static_cast<unsigned long>(status.dwError));
            *why = std::string("policy refused the chain (") + hex + ")";
        } else {
            trusted = true;
        }
    }
    if (chain) CertFreeCertificateChain(chain);
    return trusted;
}

class WinHttpClient final : public HttpClient {
  public:
    explicit WinHttpClient(const TlsSettings& tls) : tls_(tls) {}
    ~WinHttpClient() override {
        if (session_) WinHttpCloseHandle(session_);
    }

    HttpResult Post(const HttpRequest& request) override;
    void Cancel() override;

  private:
    // Cancelling a blocked WinHTTP call means closing its handle from another
    // thread, and a closed handle value must never be used again: WinHTTP may
    // hand the same value to the next handle anyone opens. So exactly one
    // side closes the request and connect handles:
    //  - Post marks itself "in a call" under mutex_ just before each blocking
    //    call and clears the mark right after it. The mutex is never held
    //    while WinHTTP runs, so Cancel never waits for the network.
    //  - Cancel sets cancelled_; if Post is in a call it takes the handles
    //    (closedByCancel_) and closes them after unlocking. If Post is between
    //    calls, Cancel touches nothing: Post sees cancelled_ at its next
    //    Enter() and closes the handles itself.
    //  - After each call Post asks Leave(); if Cancel took the handles, Post
    //    forgets them without touching them again and answers Cancelled.
    // The one interleaving left is Cancel landing between Enter() and the
    // moment WinHTTP looks the handle up inside the call. WinHTTP checks
    // handle values against its own table, so the call fails with an invalid
    // handle and the request ends as intended; only a WinHTTP handle opened
    // by another thread in that same instant could take over the value.
    // Closing from another thread is the only way to cancel on Windows, so
    // that window cannot be closed without giving up cancellation.
    bool Enter();
    bool Leave();
    void Publish(HINTERNET connect, HINTERNET request);
    void CloseOwnHandles();
    HINTERNET Session();
    HttpResult Perform(const HttpRequest& request, const Trust& trust);

    const TlsSettings tls_;
    HINTERNET session_ = nullptr;  // the uploader thread's only, opened at the first Post
    AnchorCache anchor_;           // the uploader thread's only, as session_

    std::mutex mutex_;
    bool cancelled_ = false;
    bool inCall_ = false;
    bool closedByCancel_ = false;
    HINTERNET connect_ = nullptr;
    HINTERNET request_ = nullptr;
};

bool WinHttpClient::Enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) return false;
    inCall_ = true;
    return true;
}

bool WinHttpClient::Leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    inCall_ = false;
    if (closedByCancel_) {
        connect_ = request_ = nullptr;  // Cancel closes them
        return false;
    }
    return !cancelled_;
}

void WinHttpClient::Publish(HINTERNET connect, HINTERNET request) {
    std::lock_guard<std::mutex> lock(mutex_);
    connect_ = connect;
    request_ = request;
    closedByCancel_ = false;
}

void WinHttpClient::CloseOwnHandles() {
    HINTERNET connect = nullptr;
    HINTERNET request = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::swap(connect, connect_);
        std::swap(request, request_);
    }
    if (request) WinHttpCloseHandle(request);
    if (connect) WinHttpCloseHandle(connect);
}

void WinHttpClient::Cancel() {
    HINTERNET connect = nullptr;
    HINTERNET request = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        if (!inCall_ || closedByCancel_) return;
        closedByCancel_ = true;
        std::swap(connect, connect_);
        std::swap(request, request_);
    }
    // Documented to end the blocked call on Windows; Wine 8 lets it run until
    // the server answers or a deadline passes.
    if (request) WinHttpCloseHandle(request);
    if (connect) WinHttpCloseHandle(connect);
}

HINTERNET WinHttpClient::Session() {
    if (session_) return session_;
    // Automatic proxy needs Windows 8.1; older systems refuse the flag.
    session_ = WinHttpOpen(L"Tally", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session_)
        session_ = WinHttpOpen(L"Tally", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0);
    if (session_) {
        DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        WinHttpSetOption(session_, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof(never));
    }
    return session_;
}

HttpResult WinHttpClient::Post(const HttpRequest& request) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_) return Fail(HttpResult::Kind::Cancelled, 0, "cancelled");
    }
    Trust trust;
    HttpResult failure;
    if (!LoadTrust(tls_, &anchor_, &trust, &failure)) return failure;
    HttpResult result = Perform(request, trust);
    CloseOwnHandles();
    if (result.kind != HttpResult::Kind::Ok) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_) result.kind = HttpResult::Kind::Cancelled;
    }
    return result;
}

HttpResult WinHttpClient::Perform(const HttpRequest& request, const Trust& trust) {
    const HttpResult cancelled = Fail(HttpResult::Kind::Cancelled, 0, "cancelled");
    const auto started = std::chrono::steady_clock::now();
    std::wstring url = Widen(request.url);
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (url.empty() || !WinHttpCrackUrl(url.c_str(), 0, 0, &parts) || parts.dwHostNameLength == 0)
        return Fail(HttpResult::Kind::TlsConfig, GetLastError(), "bad URL: " + request.url);
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if (!secure && !tls_.allowPlainHttp)
        return Fail(HttpResult::Kind::TlsConfig, 0, "plain http is not allowed: " + request.url);
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";

    HINTERNET session = Session();
    if (!session) return FromError(GetLastError(), "WinHttpOpen");
    HINTERNET connect = WinHttpConnect(session, host.c_str(), parts.nPort, 0);
    if (!connect) return FromError(GetLastError(), "WinHttpConnect");
    HINTERNET handle =
        WinHttpOpenRequest(connect, L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                           WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0);
    const DWORD openError = GetLastError();
    Publish(connect, handle);  // from here CloseOwnHandles or Cancel closes them
    if (!handle) return FromError(openError, "WinHttpOpenRequest");

    const int64_t timeoutMs = request.timeoutMs > 0 ? request.timeoutMs : kDefaultTimeoutMs;
    const int64_t connectMs =
        request.connectTimeoutMs > 0 ? request.connectTimeoutMs : kDefaultConnectTimeoutMs;
    const int total = static_cast<int>(std::min<int64_t>(timeoutMs, INT32_MAX));
    const int connectTimeout = static_cast<int>(std::min<int64_t>(connectMs, INT32_MAX));
    // Wine honours only the response timeout; Windows all of them.
    DWORD responseTimeout = static_cast<DWORD>(total);
    DWORD disabled = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS;
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!WinHttpSetTimeouts(handle, connectTimeout, connectTimeout, total, total) ||
        !WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                          sizeof(responseTimeout)) ||
        !WinHttpSetOption(handle, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof(disabled)))
        return FromError(GetLastError(), "WinHttpSetOption");
    WinHttpSetOption(handle, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof(never));
    if (secure && trust.roots) {
        // Our own check below replaces the unknown-root test only.
        DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        if (!WinHttpSetOption(handle, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags)))
            return FromError(GetLastError(), "WinHttpSetOption");
    }
    std::wstring headers;
    for (const auto& header : request.headers)
        headers += Widen(header.first) + L": " + Widen(header.second) + L"\r\n";
    if (!headers.empty() &&
        !WinHttpAddRequestHeaders(handle, headers.c_str(), static_cast<DWORD>(headers.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
        return FromError(GetLastError(), "WinHttpAddRequestHeaders");

    // Handshake and headers only: the body waits for our verdict on the server.
    if (!Enter()) return cancelled;
    BOOL ok = WinHttpSendRequest(handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                                 0, static_cast<DWORD>(request.body.size()), 0);
    DWORD error = GetLastError();
    if (!Leave()) return cancelled;
    if (!ok) return FromError(error, "WinHttpSendRequest");

    if (secure && (trust.roots || trust.pinnedKey)) {
        PCCERT_CONTEXT leaf = nullptr;
        DWORD size = sizeof(leaf);
        if (!WinHttpQueryOption(handle, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &leaf, &size) || !leaf)
            return Fail(HttpResult::Kind::Tls, GetLastError(), "no server certificate");
        std::string why;
        bool trusted = !trust.roots || ChainTrusted(leaf, trust, host, &why);
        if (trusted && trust.pinnedKey &&
            !CertComparePublicKeyInfo(X509_ASN_ENCODING, &leaf->pCertInfo->SubjectPublicKeyInfo,
                                      trust.pinnedKey)) {
            trusted = false;
            why = "server key differs from the pinned key";
        }
        CertFreeCertificateContext(leaf);
        if (!trusted) return Fail(HttpResult::Kind::Tls, 0, "certificate not trusted: " + why);
    }

    size_t written = 0;
    while (written < request.body.size()) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<size_t>(request.body.size() - written, 1u << 20));
        DWORD done = 0;
        if (!Enter()) return cancelled;
        ok = WinHttpWriteData(handle, request.body.data() + written, chunk, &done);
        error = GetLastError();
        if (!Leave()) return cancelled;
        if (!ok) return FromError(error, "WinHttpWriteData");
        if (done == 0) return Fail(HttpResult::Kind::Network, 0, "WinHttpWriteData wrote nothing");
        written += done;
    }

    // The response gets what is left of the whole request's time (at least
    // 1 ms): under Wine this is the only deadline that bounds the call.
    const int64_t elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
    responseTimeout = static_cast<DWORD>(std::max<int64_t>(1, total - elapsed));
    WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof(responseTimeout));
    if (!Enter()) return cancelled;
    ok = WinHttpReceiveResponse(handle, nullptr);
    error = GetLastError();
    if (!Leave()) return cancelled;
    if (!ok) return FromError(error, "WinHttpReceiveResponse");

    HttpResult result;
    result.kind = HttpResult::Kind::Ok;
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return FromError(GetLastError(), "WinHttpQueryHeaders");
    result.status = static_cast<int>(status);
    wchar_t retryAfter[64];
    size = sizeof(retryAfter);
    if (WinHttpQueryHeaders(handle, WINHTTP_QUERY_RETRY_AFTER, WINHTTP_HEADER_NAME_BY_INDEX,
                            retryAfter, &size, WINHTTP_NO_HEADER_INDEX))
        result.retryAfter = Narrow(std::wstring(retryAfter, size / sizeof(wchar_t)));

    char buffer[8192];
    while (result.body.size() < kMaxResponseBody) {
        const DWORD want = static_cast<DWORD>(
            std::min<size_t>(sizeof(buffer), kMaxResponseBody - result.body.size()));
        DWORD got = 0;
        if (!Enter()) return cancelled;
        ok = WinHttpReadData(handle, buffer, want, &got);
        error = GetLastError();
        if (!Leave()) return cancelled;
        if (!ok) return FromError(error, "WinHttpReadData");
        if (got == 0) break;
        result.body.append(buffer, got);
    }
    return result;
}

}  // namespace

std::unique_ptr<HttpClient> MakeHttpClient(const TlsSettings& tls) {
    return std::make_unique<WinHttpClient>(tls);
}

}  // namespace tally
