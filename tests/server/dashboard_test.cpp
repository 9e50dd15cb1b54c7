// The fleet report as a browser shows it: a collector is filled through the
// real upload path (gzip over HTTPS with the analytics library's client)
// with a known set of events, and the report it writes is loaded in headless
// Chromium. The page's own check (written into the DOM) must show every
// chart drawn and no error, and each table must hold exactly the numbers
// this test counts from the events it sent. Plus the page's JSON escaping,
// and the answers when the store cannot answer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dashboard.h"
#include "support/process.h"
#include "tools/plain_http.h"
#include "upload/http_client.h"
#include "upload/uploader.h"
#ifdef TALLY_WITH_POSTGRES
#include "postgres_instance.h"
#endif

namespace {

namespace fs = std::filesystem;
using tally::testing::RawExchange;
using tally::testing::WaitUntil;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A test's own folder among the build's test artefacts, emptied first and
// kept afterwards: the collector's log, the page, what the browser printed.
fs::path Folder(const std::string& name) {
    const fs::path folder = fs::path(TALLY_ARTEFACTS) / name;
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder);
    return folder;
}

// `tally-collector serve` as a child process, stopped by SIGTERM (killed if
// it does not end).
class Collector {
  public:
    Collector(const fs::path& folder, std::vector<std::string> flags) : m_state(folder / "state") {
        std::vector<std::string> all = {
            TALLY_COLLECTOR,  "--state", m_state.string(), "--port", "0",
            "--control-port", "0",       "--admin-port",   "0"};
        all.insert(all.end(), flags.begin(), flags.end());
        const std::string log = (folder / "collector.log").string();
        m_log = log;
        m_pid = ::fork();
        if (m_pid == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            std::vector<char*> argv;
            for (std::string& argument : all) argv.push_back(argument.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        WaitUntil(
            [&] {
                std::istringstream text(ReadFile(m_state / "ports.json"));
                Json::Value ports;
                std::string errors;
                if (!Json::parseFromStream(Json::CharReaderBuilder(), text, &ports, &errors) ||
                    !ports.isMember("admin")) {
                    return false;
                }
                m_https = ports["https"].asInt();
                m_admin = ports["admin"].asInt();
                return true;
            },
            std::chrono::seconds(20));
    }
    ~Collector() { Stop(); }
    // A clean stop exits 0; a sanitizer's report in the collector does not.
    void Stop() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        int status = -1;
        if (!WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; },
                       std::chrono::seconds(10))) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << Log();
    }
    int Https() const { return m_https; }
    int Admin() const { return m_admin; }
    const fs::path& State() const { return m_state; }
    std::string Log() const { return ReadFile(m_log); }

  private:
    fs::path m_state;
    fs::path m_log;
    pid_t m_pid = -1;
    int m_https = 0;
    int m_admin = 0;
};

// Runs a shell command line under a watchdog; answers its exit code.
int Shell(const std::string& line, const fs::path& output) {
    const tally::testing::ProcessOutcome outcome =
        tally::testing::RunProcess("/bin/sh", {"-c", line}, tally::testing::CurrentEnvironment(),
                                   output, std::chrono::seconds(90));
    return outcome.timedOut ? -1 : outcome.exitCode;
}

std::string Quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

struct Page {
    std::string dom;         // the document after its scripts ran
    std::string browserLog;  // what the browser printed
};

// The page as headless Chromium leaves it, without any network. Console
// messages reach standard error (CONSOLE lines) with --enable-logging.
Page LoadInChromium(const fs::path& file, const fs::path& work, const std::string& extra) {
    fs::create_directories(work / "home");
    const std::string common =
        "HOME=" + Quoted(work / "home") + " " + TALLY_CHROMIUM +
        " --headless --no-sandbox --disable-gpu --disable-background-networking"
        " --enable-logging=stderr --v=0 --window-size=1280,2600 --virtual-time-budget=5000 ";
    Shell(common + extra + " --dump-dom 'file://" + file.string() + "' >" +
              Quoted(work / "dom.html") + " 2>" + Quoted(work / "chromium.log"),
          work / "shell.log");
    return {ReadFile(work / "dom.html"), ReadFile(work / "chromium.log")};
}

std::string Unescape(std::string text) {
    const std::pair<const char*, const char*> entities[] = {{"&lt;", "<"},          {"&gt;", ">"},
                                                            {"&quot;", "\""},       {"&#39;", "'"},
                                                            {"&nbsp;", "\xc2\xa0"}, {"&amp;", "&"}};
    for (const auto& entity : entities) {
        for (size_t at = text.find(entity.first); at != std::string::npos;
             at = text.find(entity.first, at + 1)) {
            text.replace(at, std::strlen(entity.first), entity.second);
        }
    }
    return text;
}

// A table of the page: row key -> column -> the value drawn ("" for none).
using Table = std::map<std::string, std::map<std::string, std::string>>;

Table ReadTable(const std::string& dom, const std::string& id) {
    Table table;
    const size_t start = dom.find("<table id=\"table-" + id + "\"");
    if (start == std::string::npos) return table;
    const std::string text = dom.substr(start, dom.find("</table>", start) - start);
    // Attribute values as the browser writes them: quoted, `"` as &quot;.
    const auto attribute = [&](const std::string& name, size_t from, size_t* end) {
        const size_t at = text.find(name + "=\"", from);
        if (at == std::string::npos || at > *end) return std::string();
        const size_t value = at + name.size() + 2;
        const size_t close = text.find('"', value);
        return Unescape(text.substr(value, close - value));
    };
    for (size_t row = text.find("<tr data-key="); row != std::string::npos;
         row = text.find("<tr data-key=", row + 1)) {
        size_t rowEnd = text.find("</tr>", row);
        auto& columns = table[attribute("data-key", row, &rowEnd)];
        for (size_t cell = text.find("<td ", row); cell < rowEnd;
             cell = text.find("<td ", cell + 1)) {
            size_t cellEnd = text.find('>', cell);
            columns[attribute("data-col", cell, &cellEnd)] =
                attribute("data-value", cell, &cellEnd);
        }
    }
    return table;
}

// What this test sends, and what each table must then show.
struct Fleet {
    std::vector<std::string> days;
    std::map<std::string, std::string> uploads;  // installation -> upload body
    std::map<std::string, Table> expected;       // table id -> table
};

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.10g", value);
    return text;
}

// Four installations over three days: one starts a day late, one is an
// older client without an installation id (its events count, it does
// not). Client texts carry markup, quotes and U+2028.
Fleet MakeFleet() {
    Fleet fleet;
    fleet.days = {"2026-11-01", "2026-11-02", "2026-11-03"};
    const int64_t firstNoonMs = 1793534400000;  // 2026-11-01 12:00 UTC
    struct Installation {
        std::string id, version;
        size_t firstDay;
    };
    const std::vector<Installation> installations = {
        {"11111111-1111-4111-8111-111111111111", "3.1.0", 0},
        {"22222222-2222-4222-9222-222222222222", "3.2.0", 0},
        {"33333333-3333-4333-a333-333333333333", "3.2.0", 1},
        {"", "3.0.0", 2}};
    const std::vector<std::string> oses = {"Windows 10", "Windows 11 <b>\"&amp;\"</b>\xe2\x80\xa8"};
    const std::string hostileName = "</script><script>console.error('escaped')</script>";
    // Counts by table, row and column; the success rate apart.
    std::map<std::string, std::map<std::string, std::map<std::string, int>>> counts;
    std::map<std::string, std::map<std::string, int>> success, connections;
    for (size_t i = 0; i < installations.size(); ++i) {
        const Installation& installation = installations[i];
        Json::Value upload;
        upload["schema"] = 1;
        upload["app"]["appversion"] = installation.version;
        if (!installation.id.empty()) upload["app"]["install_id"] = installation.id;
        upload["batches"] = Json::arrayValue;
        for (size_t d = installation.firstDay; d < fleet.days.size(); ++d) {
            const std::string& day = fleet.days[d];
            Json::Value batch;
            batch["batch_id"] = "batch-" + std::to_string(i) + "-" + std::to_string(d);
            batch["created_ms"] = static_cast<Json::Int64>(firstNoonMs + d * 86400000);
            Json::Value& events = batch["events"] = Json::arrayValue;
            auto add = [&](const std::string& name, const Json::Value& payload) {
                Json::Value event;
                event["seq"] = static_cast<Json::Int64>(events.size() + 1);
                event["received_ms"] =
                    static_cast<Json::Int64>(firstNoonMs + d * 86400000 + events.size() * 1000);
                event["name"] = name;
                event["payload"] = payload;
                events.append(event);
                ++counts["events"][day][name];
            };
            if (!installation.id.empty()) {
                ++counts["installations"][day]["installations"];
                ++counts["version-share"][installation.version]["installation-days"];
            }
            Json::Value device;
            device["os_version"] = oses[(i + d) % 2];
            device["device_type"] = (i % 2) ? 7 : 4;
            device["key_app_ver"] = installation.version;
            add("user_device_info", device);
            ++counts["os-share"][oses[(i + d) % 2]]["device reports"];
            for (size_t j = 0; j < 1 + (i + d) % 3; ++j) {
                const bool ok = (i + d + j) % 3 != 0;
                const std::string level = std::to_string(1 + (i * 7 + d * 3 + j) % 5);
                Json::Value connect;
                connect["is_success"] = ok ? "true" : "false";
                connect["duration_level"] = level;
                connect["device_connect_duration"] = "12";
                add("device_remote_connect", connect);
                success[day][installation.version] += ok ? 1 : 0;
                connections[day][installation.version] += 1;
                ++counts["duration-levels"][level]["remote connections"];
            }
            if ((i + d) % 2 == 0) {
                for (size_t j = 0; j < 2; ++j) {
                    const std::string mode =
                        j == 1 ? "KCP_FAIL" : "KCP_" + std::to_string(1 + (i + d) % 5);
                    Json::Value heartbeat;
                    heartbeat["is_success"] = j == 1 ? "false" : "true";
                    heartbeat["connect_mode"] = mode;
                    add("storage_heartbeat_fail_reconnect", heartbeat);
                    ++counts["heartbeat-reconnections"][day][mode];
                }
            }
            if (i == 0 && d == 1) add(hostileName, Json::Value(Json::objectValue));
            upload["batches"].append(batch);
        }
        fleet.uploads[installation.id.empty() ? "older client" : installation.id] =
            Json::writeString(Json::StreamWriterBuilder(), upload);
    }

    // A per-day table holds every day of the range and every series, zeros
    // included; the duration levels are always 1 to 5.
    for (const char* id : {"events", "heartbeat-reconnections", "installations"}) {
        std::set<std::string> series;
        for (const auto& row : counts[id]) {
            for (const auto& column : row.second) series.insert(column.first);
        }
        for (const std::string& day : fleet.days) {
            for (const std::string& name : series) counts[id][day][name] += 0;
        }
    }
    for (const char* level : {"1", "2", "3", "4", "5"}) {
        counts["duration-levels"][level]["remote connections"] += 0;
    }
    for (const auto& table : counts) {
        for (const auto& row : table.second) {
            for (const auto& column : row.second) {
                fleet.expected[table.first][row.first][column.first] = Number(column.second);
            }
        }
    }
    for (const std::string& day : fleet.days) {
        for (const char* version : {"3.0.0", "3.1.0", "3.2.0"}) {
            const int total = connections[day][version];
            fleet.expected["connection-success"][day][version] =
                total == 0 ? "" : Number(std::round(1000.0 * success[day][version] / total) / 10);
        }
    }
    return fleet;
}

// The JSON the page carries, as the page itself reads it.
Json::Value PageData(const std::string& page) {
    const std::string open = "<script type=\"application/json\" id=\"tally-data\">";
    const size_t start = page.find(open);
    if (start == std::string::npos) return Json::Value();
    const size_t from = start + open.size();
    Json::Value data;
    std::istringstream text(page.substr(from, page.find("</script>", from) - from));
    std::string errors;
    Json::parseFromStream(Json::CharReaderBuilder(), text, &data, &errors);
    return data;
}

TEST(Dashboard, ReportOfUploadedEventsDrawsEveryChartWithTheNumbersSent) {
    ASSERT_TRUE(fs::exists(TALLY_CHROMIUM))
        << TALLY_CHROMIUM << " is missing: run scripts/bootstrap";
    const fs::path folder = Folder("report");
    const Fleet fleet = MakeFleet();
    Collector collector(folder, {});
    ASSERT_GT(collector.Admin(), 0) << collector.Log();
    const auto client = tally::MakeHttpClient({(collector.State() / "ca.pem").string(), "", false});
    for (const auto& upload : fleet.uploads) {
        tally::HttpRequest request;
        request.url = "https://localhost:" + std::to_string(collector.Https()) + "/v1/batches";
        request.headers = {{"Content-Type", "application/json"},
                           {"Content-Encoding", "gzip"},
                           {"Idempotency-Key", "upload-of-" + upload.first}};
        ASSERT_TRUE(tally::Gzip(upload.second, &request.body));
        request.timeoutMs = request.connectTimeoutMs = 20000;
        const tally::HttpResult result = client->Post(request);
        ASSERT_EQ(result.status, 200) << upload.first << ": " << result.body << result.errorText;
    }

    // /dashboard carries what the report carries; its range narrows it.
    const auto get = [&](const std::string& path) {
        return RawExchange(collector.Admin(), "", "GET " + path + " HTTP/1.0\r\n\r\n", 0);
    };
    const tally::testing::RawReply served = get("/dashboard");
    ASSERT_EQ(served.status, 200) << served.head;
    const tally::testing::RawReply oneDay = get("/dashboard?from=2026-11-02&to=2026-11-02");
    ASSERT_EQ(oneDay.status, 200) << oneDay.head;
    const Json::Value narrowed = PageData(oneDay.body);
    EXPECT_EQ(narrowed["from"].asString(), "2026-11-02");
    ASSERT_GT(narrowed["rows"].size(), 0u);
    for (const Json::Value& row : narrowed["rows"]) EXPECT_EQ(row[0].asString(), "2026-11-02");
    for (const char* bad :
         {"/dashboard?from=2026-13-01", "/dashboard?from=2026-11-03&to=2026-11-01",
          "/dashboard?to=%3Cscript%3E"}) {
        EXPECT_EQ(get(bad).status, 400) << bad;
    }
    collector.Stop();

    const fs::path report = folder / "report.html";
    const fs::path log = folder / "report.log";
    ASSERT_EQ(Shell(std::string(TALLY_COLLECTOR) + " report --state " + Quoted(collector.State()) +
                        " --out " + Quoted(report),
                    log),
              0)
        << ReadFile(log);
    const std::string page = ReadFile(report);
    const Json::Value data = PageData(page);
    EXPECT_EQ(data, PageData(served.body));
    EXPECT_EQ(data["from"].asString(), fleet.days.front());
    EXPECT_EQ(data["to"].asString(), fleet.days.back());
    // Client texts never appear raw in the page: only the escaped JSON.
    EXPECT_EQ(page.find("<script>console.error"), std::string::npos);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    EXPECT_EQ(page.find("\xe2\x80\xa8"), std::string::npos);
    EXPECT_NE(page.find("Permission is hereby granted"), std::string::npos) << "Chart.js licence";

    const Page loaded = LoadInChromium(report, folder / "browser", "");
    EXPECT_EQ(loaded.browserLog.find(":CONSOLE"), std::string::npos) << loaded.browserLog;
    const size_t output = loaded.dom.find("<output id=\"tally-check\"");
    ASSERT_NE(output, std::string::npos) << loaded.dom.substr(0, 2000) << loaded.browserLog;
    const size_t from = loaded.dom.find('>', output) + 1;
    Json::Value check;
    std::istringstream checkText(
        Unescape(loaded.dom.substr(from, loaded.dom.find("</output>", from) - from)));
    std::string errors;
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), checkText, &check, &errors));
    EXPECT_EQ(check["errors"].size(), 0u) << check["errors"];
    for (const auto& expected : fleet.expected) {
        SCOPED_TRACE(expected.first);
        const Json::Value& chart = check["charts"][expected.first];
        const size_t series = expected.first == "os-share" || expected.first == "version-share" ||
                                      expected.first == "duration-levels"
                                  ? 1
                                  : expected.second.begin()->second.size();
        EXPECT_EQ(chart["datasets"].asUInt(), series) << check;
        EXPECT_GT(chart["points"].asInt(), 0) << check;
        // Drawn: a good part of the canvas painted, not only a blank frame.
        EXPECT_GT(chart["painted"].asInt(), chart["width"].asInt() * chart["height"].asInt() / 50)
            << check;
        EXPECT_EQ(ReadTable(loaded.dom, expected.first), expected.second);
    }

    // The artefact a person looks at, beside the page: the page drawn dark.
    const fs::path shot = folder / "report.png";
    LoadInChromium(report.string() + "#theme=dark", folder / "shot",
                   "--hide-scrollbars --screenshot=" + Quoted(shot));
    EXPECT_GT(fs::exists(shot) ? fs::file_size(shot) : 0, 10000u);
}

TEST(Dashboard, ClientTextsCannotLeaveTheEmbeddedJson) {
    struct Case {
        std::string text, json;
    };
    const Case cases[] = {
        {"plain", "\"plain\""},
        {"</script><!--", "\"\\u003c/script\\u003e\\u003c!--\""},
        {"a&b \"q\" \\", "\"a\\u0026b \\\"q\\\" \\\\\""},
        {"line\xe2\x80\xa8para\xe2\x80\xa9", "\"line\\u2028para\\u2029\""},
        {std::string("nul\0tab\t", 8), "\"nul\\u0000tab\\u0009\""},
        {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
        // Not UTF-8: a lone continuation, an overlong '<', a cut sequence, a surrogate.
        {"\x80<\xc0\xbc\xe2\x80", "\"\\ufffd\\u003c\\ufffd\\ufffd\\ufffd\\ufffd\""},
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
    };
    for (const Case& c : cases) EXPECT_EQ(tally::report::ScriptSafeJsonString(c.text), c.json);
}

TEST(Dashboard, AStoreThatCannotAnswerIsA503AndAFailedReport) {
    const fs::path folder = Folder("unavailable");
    const fs::path log = folder / "report.log";
    const std::string report =
        std::string(TALLY_COLLECTOR) + " report --out " + Quoted(folder / "r.html");
    // No database there at all, and a range that is not one.
    EXPECT_EQ(Shell(report + " --state " + Quoted(folder / "none"), log), 2);
    EXPECT_NE(ReadFile(log).find("no collector database"), std::string::npos) << ReadFile(log);
    EXPECT_EQ(Shell(report + " --from 2026-11-03 --to 2026-11-01", log), 1);
    EXPECT_EQ(Shell(report + " --from 2026-02-30", log), 1);
    EXPECT_FALSE(fs::exists(folder / "r.html"));
#ifdef TALLY_WITH_POSTGRES
    tally::testing::PostgresInstance postgres;
    std::string error;
    ASSERT_TRUE(postgres.Start(&error)) << error;
    const std::string uri = postgres.CreateDatabase("dash", &error);
    ASSERT_FALSE(uri.empty()) << error;
    Collector collector(folder, {"--store", uri, "--store-wait-ms", "1000"});
    ASSERT_GT(collector.Admin(), 0) << collector.Log();
    ASSERT_TRUE(postgres.Stop(&error)) << error;
    const tally::testing::RawReply down =
        RawExchange(collector.Admin(), "", "GET /dashboard HTTP/1.0\r\n\r\n", 0);
    EXPECT_EQ(down.status, 503) << down.head << down.body;
    EXPECT_EQ(Shell(report + " --store '" + uri + "'", log), 2);
    EXPECT_NE(ReadFile(log).find("tally-collector: "), std::string::npos) << ReadFile(log);
    EXPECT_FALSE(fs::exists(folder / "r.html"));
#endif
}

}  // namespace
