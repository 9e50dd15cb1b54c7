#include "dashboard.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace tally {
namespace report {

// Written into dashboard_assets.cpp at build time (embed.cmake).
extern const unsigned char kDashboardScript[];
extern const size_t kDashboardScriptSize;
extern const unsigned char kDashboardStyle[];
extern const size_t kDashboardStyleSize;
extern const unsigned char kChartJs[];
extern const size_t kChartJsSize;
extern const unsigned char kChartJsLicense[];
extern const size_t kChartJsLicenseSize;

namespace {

std::string_view Asset(const unsigned char* bytes, size_t size) {
    return std::string_view(reinterpret_cast<const char*>(bytes), size);
}

bool Digits(const std::string& text, size_t from, size_t count) {
    for (size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

int Number(const std::string& text, size_t from, size_t count) {
    int value = 0;
    for (size_t i = from; i < from + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

// The length of the UTF-8 sequence starting at `at` and its code point; 0
// when the bytes there are not one (overlong, a surrogate, cut short).
size_t Utf8Sequence(const std::string& text, size_t at, uint32_t* code) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    uint32_t value = 0;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(at + i) & 0x3F);
    }
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kLeast[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    *code = value;
    return length;
}

void AppendEscape(std::string* out, uint32_t code) {
    char escape[16];
    std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(code));
    out->append(escape);
}

// A comment's text that cannot end the comment it is put in.
std::string CommentSafe(std::string text) {
    for (size_t at = text.find("*/"); at != std::string::npos; at = text.find("*/", at)) {
        text.insert(at + 1, " ");
    }
    return text;
}

}  // namespace

bool IsDay(const std::string& day) {
    if (day.size() != 10 || day[4] != '-' || day[7] != '-' || !Digits(day, 0, 4) ||
        !Digits(day, 5, 2) || !Digits(day, 8, 2)) {
        return false;
    }
    const int year = Number(day, 0, 4), month = Number(day, 5, 2), dayOfMonth = Number(day, 8, 2);
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || month < 1 || month > 12 || dayOfMonth < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return dayOfMonth <= (month == 2 && !leap ? 28 : kDays[month - 1]);
}

std::string ScriptSafeJsonString(const std::string& text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (size_t at = 0; at < text.size();) {
        uint32_t code = 0;
        const size_t length = Utf8Sequence(text, at, &code);
        if (length == 0) {
            out.append("\\ufffd");
            ++at;
            continue;
        }
        if (code == '"' || code == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(code));
        } else if (code < 0x20 || code == 0x7F || code == '<' || code == '>' || code == '&' ||
                   code == 0x2028 || code == 0x2029) {
            AppendEscape(&out, code);
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    out.push_back('"');
    return out;
}

std::string RenderDashboard(const std::vector<server::RollupRow>& rows,
                            const server::RollupQuery& range) {
    std::string from = range.fromDay, to = range.toDay;
    for (const server::RollupRow& row : rows) {
        if (!IsDay(row.day)) continue;  // the page's date filter compares texts
        if (range.fromDay.empty() && (from.empty() || row.day < from)) from = row.day;
        if (range.toDay.empty() && (to.empty() || row.day > to)) to = row.day;
    }

    // Rows as arrays, not objects: a month of a large fleet stays small.
    std::string data = "{\"from\":" + ScriptSafeJsonString(from) +
                       ",\"to\":" + ScriptSafeJsonString(to) + ",\"rows\":[";
    bool first = true;
    for (const server::RollupRow& row : rows) {
        if (!IsDay(row.day)) continue;
        if (!first) data.push_back(',');
        first = false;
        data += "[" + ScriptSafeJsonString(row.day) + "," + ScriptSafeJsonString(row.appVersion) +
                "," + ScriptSafeJsonString(row.measure) + "," + ScriptSafeJsonString(row.key) +
                "," + std::to_string(row.value) + "]";
    }
    data += "]}";

    std::string page;
    page.reserve(kChartJsSize + kDashboardScriptSize + kDashboardStyleSize + data.size() + 4096);
    page +=
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<meta name=\"color-scheme\" content=\"light dark\">\n"
        "<title>Fleet report</title>\n<style>\n";
    page += Asset(kDashboardStyle, kDashboardStyleSize);
    // Errors are collected before any other script runs, so a check of the
    // page (and a person with the developer tools closed) sees them all.
    page +=
        "</style>\n<script>\nwindow.tallyErrors = [];\n"
        "window.addEventListener('error', function (e) { "
        "window.tallyErrors.push(String(e.message)); "
        "});\n(function () { var original = console.error; console.error = function () { "
        "window.tallyErrors.push(Array.prototype.join.call(arguments, ' ')); "
        "return original.apply(console, arguments); }; })();\n</script>\n</head>\n<body>\n"
        "<header>\n<h1>Fleet report</h1>\n<form id=\"range\" onsubmit=\"return false\">\n"
        "<label>From <input type=\"date\" id=\"from\"></label>\n"
        "<label>To <input type=\"date\" id=\"to\"></label>\n"
        "<button type=\"button\" id=\"theme-toggle\" title=\"Switch between the dark and the "
        "light theme\">Dark / light</button>\n</form>\n"
        "<p id=\"summary\"></p>\n</header>\n<main id=\"views\"></main>\n"
        "<output id=\"tally-check\" hidden></output>\n"
        "<script type=\"application/json\" id=\"tally-data\">";
    page += data;
    page += "</script>\n<script>\n/*! Chart.js, inlined from its npm package; its licence:\n\n";
    page += CommentSafe(std::string(Asset(kChartJsLicense, kChartJsLicenseSize)));
    page += "\n*/\n";
    page += Asset(kChartJs, kChartJsSize);
    page += "\n</script>\n<script>\n";
    page += Asset(kDashboardScript, kDashboardScriptSize);
    page += "\n</script>\n</body>\n</html>\n";
    return page;
}

bool BuildDashboard(server::Store& store, const server::RollupQuery& range, std::string* page,
                    std::string* error) {
    for (const std::string* day : {&range.fromDay, &range.toDay}) {
        if (!day->empty() && !IsDay(*day)) {
            *error = "not a day (YYYY-MM-DD): " + *day;
            return false;
        }
    }
    if (!range.fromDay.empty() && !range.toDay.empty() && range.fromDay > range.toDay) {
        *error = "the range ends (" + range.toDay + ") before it starts (" + range.fromDay + ")";
        return false;
    }
    std::vector<server::RollupRow> rows;
    if (!store.Rollups(range, &rows, error)) return false;
    *page = RenderDashboard(rows, range);
    return true;
}

}  // namespace report
}  // namespace tally
