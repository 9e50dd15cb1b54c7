#include "fleet_load.h"

#include <arpa/inet.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tally {
namespace fleet {
namespace {

bool ParseLong(const char* text, long low, long high, long* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) return false;
    *out = value;
    return true;
}

bool ParseDouble(const char* text, double low, double high, double* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    // `!(a <= b)` rather than `a > b` so that NaN is refused too.
    if (errno != 0 || *end != '\0' || !(value >= low) || !(value <= high)) return false;
    *out = value;
    return true;
}

const char* const kNames[] = {"user_device_info", "device_remote_connect",
                              "storage_heartbeat_fail_reconnect"};

std::string Payload(int kind, std::mt19937_64& random, const Installation& installation) {
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint64_t>(n)); };
    switch (kind) {
        case 0: {
            const char* const os[] = {"Windows 10 Pro 22H2", "Windows 11 Home 23H2",
                                      "Windows 11 Pro 24H2"};
            const std::string unit = installation.installId.substr(0, 27);
            return "{\"app_plugin_ver\":\"3.1.0\",\"device_type\":" +
                   std::to_string(pick(2) == 0 ? 7 : 4) +
                   ",\"key_app_ver\":\"3.1.0\",\"key_device_unique_id\":\"" + unit +
                   "\",\"key_hdc_dev_unique_id\":\"****" +
                   std::to_string(1000000000 + pick(1000000)) + "\",\"key_user_unique_id\":\"usr" +
                   std::to_string(pick(100000)) + "\",\"os_version\":\"" + os[pick(3)] + "\"}";
        }
        case 1:
            return "{\"duration_level\":\"" + std::to_string(1 + pick(5)) + "\",\"is_success\":\"" +
                   (pick(10) == 0 ? "false" : "true") + "\"}";
        default: {
            const char* const modes[] = {"KCP_1", "TCP_0", "RELAY_2"};
            return std::string("{\"connect_mode\":\"") + modes[pick(3)] + "\",\"is_success\":\"" +
                   (pick(4) == 0 ? "false" : "true") +
                   "\",\"p2p_sdk_version\":" + std::to_string(pick(40)) + "}";
        }
    }
}

}  // namespace

bool LoopbackTarget(const std::string& url, std::string* host, int* port) {
    const std::string scheme = "https://";
    if (url.compare(0, scheme.size(), scheme) != 0) return false;
    std::string rest = url.substr(scheme.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string name;
    std::string portText;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || rest.compare(close + 1, 1, ":") != 0) return false;
        name = rest.substr(1, close - 1);
        portText = rest.substr(close + 2);
        if (name != "::1") return false;
    } else {
        const size_t colon = rest.find(':');
        if (colon == std::string::npos) return false;
        name = rest.substr(0, colon);
        portText = rest.substr(colon + 1);
        in_addr address{};
        if (name != "localhost") {
            if (inet_pton(AF_INET, name.c_str(), &address) != 1) return false;
            if ((ntohl(address.s_addr) >> 24) != 127) return false;
        }
    }
    long value = 0;
    if (!ParseLong(portText.c_str(), 1, 65535, &value)) return false;
    *host = name == "localhost" ? "127.0.0.1" : name;
    *port = static_cast<int>(value);
    return true;
}

bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long number = 0;
        bool ok = true;
        bool takesValue = true;
        if (flag == "--url") {
            std::string host;
            int port = 0;
            ok = value != nullptr && LoopbackTarget(value, &host, &port);
            if (ok) options->urls.push_back(value);
            if (!ok) {
                *error = "--url takes https://HOST:PORT with HOST 127.x.x.x, localhost or [::1]";
                return false;
            }
        } else if (flag == "--ca") {
            ok = value != nullptr && *value != '\0';
            if (ok) options->ca = value;
        } else if (flag == "--installations") {
            ok = ParseLong(value, 1, 1000000, &number);
            options->installations = static_cast<int>(number);
        } else if (flag == "--events-per-upload") {
            ok = ParseLong(value, 1, kMaxEventsPerUpload, &number);
            options->eventsPerUpload = static_cast<int>(number);
        } else if (flag == "--uploads") {
            ok = ParseLong(value, 1, kMaxUploads, &options->uploads);
        } else if (flag == "--seconds") {
            ok = ParseDouble(value, 0.1, kMaxSeconds, &options->seconds);
        } else if (flag == "--concurrency") {
            ok = ParseLong(value, 1, 1000, &number);
            options->concurrency = static_cast<int>(number);
        } else if (flag == "--idle") {
            ok = ParseLong(value, 0, 10000, &number);
            options->idle = static_cast<int>(number);
        } else if (flag == "--trickle") {
            ok = ParseLong(value, 0, 1000, &number);
            options->trickle = static_cast<int>(number);
        } else if (flag == "--resend-fraction") {
            ok = ParseDouble(value, 0, 1, &options->resendFraction);
        } else if (flag == "--header-flood-mib") {
            ok = ParseLong(value, 0, 1024, &number);
            options->headerFloodMiB = static_cast<int>(number);
        } else if (flag == "--timeout") {
            ok = ParseDouble(value, 0.1, 300, &options->timeoutSeconds);
        } else if (flag == "--seed") {
            ok = ParseLong(value, 0, 0x7fffffffL, &number);
            options->seed = static_cast<uint64_t>(number);
        } else if (flag == "--new-connections") {
            options->newConnections = true;
            takesValue = false;
        } else if (flag == "--install-ids") {
            options->installIds = true;
            takesValue = false;
        } else {
            *error = "unknown option " + flag;
            return false;
        }
        if (!ok) {
            *error = flag + (value ? std::string(": bad value ") + value : ": needs a value");
            return false;
        }
        if (takesValue) ++i;
    }
    if (options->urls.empty()) {
        *error = "--url is required";
        return false;
    }
    if (options->ca.empty()) {
        *error =
            "--ca is required (the CA certificate the collector's server certificate chains to)";
        return false;
    }
    if (options->uploads == 0 && options->seconds == 0 && options->headerFloodMiB == 0) {
        *error = "give --uploads N and/or --seconds S: a run is always bounded";
        return false;
    }
    return true;
}

std::string RandomUuid(std::mt19937_64& random) {
    const uint64_t high = (random() & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;
    const uint64_t low = (random() & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
    char text[37];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx",
                  static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xffff),
                  static_cast<unsigned>(high & 0xffff), static_cast<unsigned>(low >> 48),
                  static_cast<unsigned long long>(low & 0xffffffffffffULL));
    return text;
}

Upload MakeUpload(Installation& installation, bool withInstallId, int events,
                  std::mt19937_64& random, int64_t nowMs) {
    std::string json =
        "{\"schema\":1,\"app\":{\"appid\":\"Orvel\",\"appversion\":\"3.1.0\","
        "\"device_type\":\"Orvel-PC00\",\"tag\":\"Orvel\"";
    if (withInstallId) json += ",\"install_id\":\"" + installation.installId + "\"";
    // Events wait on the device a while before the batch is cut.
    const int64_t createdMs = nowMs - static_cast<int64_t>(random() % 60000);
    json += "},\"batches\":[{\"batch_id\":\"" + RandomUuid(random) +
            "\",\"created_ms\":" + std::to_string(createdMs) + ",\"events\":[";
    for (int i = 0; i < events; ++i) {
        const int kind = static_cast<int>(random() % 3);
        if (i > 0) json += ',';
        json += "{\"seq\":" + std::to_string(installation.nextSeq++) +
                ",\"received_ms\":" + std::to_string(createdMs - (events - i) * 1000) +
                ",\"name\":\"" + kNames[kind] +
                "\",\"payload\":" + Payload(kind, random, installation) + "}";
    }
    json += "]}]}";
    Upload upload;
    upload.idempotencyKey = RandomUuid(random);
    upload.body = Gzip(json);
    upload.events = events;
    return upload;
}

std::string Gzip(const std::string& text) {
    // One compressor per thread, reset for each upload: setting one up
    // allocates and clears a few hundred KiB, a cost per upload the tool
    // would add beside the server's on a shared machine. A reset stream
    // gives the same bytes as a new one.
    struct Compressor {
        z_stream stream{};
        bool ready = false;
        Compressor() {
            ready = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8,
                                 Z_DEFAULT_STRATEGY) == Z_OK;
        }
        ~Compressor() {
            if (ready) deflateEnd(&stream);
        }
    };
    thread_local Compressor compressor;
    z_stream& stream = compressor.stream;
    if (!compressor.ready || deflateReset(&stream) != Z_OK) return std::string();
    std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    return result == Z_STREAM_END ? out : std::string();
}

}  // namespace fleet
}  // namespace tally
