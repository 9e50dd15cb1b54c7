#include "record_check.h"

#include <json/json.h>

#include <cstring>
#include <memory>

namespace tally {

namespace {

// Deep enough for any payload the service builds (they are flat), shallow
// enough that a hostile payload cannot run the parser's recursion far.
constexpr int kPayloadStackLimit = 64;

bool CheckPayload(const std::string& payload, RecordProblem* problem, std::string* detail) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder.settings_["stackLimit"] = kPayloadStackLimit;
    // A scalar root parses, so that it is reported as what it is: not an object.
    builder.settings_["strictRoot"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(payload.data(), payload.data() + payload.size(), &root, &errors);
    } catch (const std::exception& e) {
        // The parser throws when the stack limit is exceeded.
        errors = e.what();
    }
    if (!parsed) {
        *problem = RecordProblem::PayloadNotJson;
        // The parser's report is several lines; the first says enough.
        *detail = errors.substr(0, errors.find('\n'));
        return false;
    }
    if (!root.isObject()) {
        *problem = RecordProblem::PayloadNotObject;
        return false;
    }
    return true;
}

}  // namespace

bool FieldText(const char* field, size_t width, std::string* text) {
    const void* nul = std::memchr(field, '\0', width);
    if (nul == nullptr) return false;
    text->assign(field, static_cast<const char*>(nul));
    return true;
}

std::string FindUnterminatedConfigField(const ReportConfig& config) {
    struct Field {
        const char* name;
        const char* data;
        size_t width;
    };
    const Field fields[] = {
        {"appid", config.appid, sizeof(config.appid)},
        {"appversion", config.appversion, sizeof(config.appversion)},
        {"deviceType", config.deviceType, sizeof(config.deviceType)},
        {"tag", config.tag, sizeof(config.tag)},
        {"domain", config.domain, sizeof(config.domain)},
        {"logDir", config.logDir, sizeof(config.logDir)},
        {"logFileName", config.logFileName, sizeof(config.logFileName)},
        {"dbPath", config.dbPath, sizeof(config.dbPath)},
        {"pubkeyPath", config.pubkeyPath, sizeof(config.pubkeyPath)},
        {"cacertPath", config.cacertPath, sizeof(config.cacertPath)},
    };
    for (const Field& field : fields) {
        if (std::memchr(field.data, '\0', field.width) == nullptr) return field.name;
    }
    return std::string();
}

const char* RecordProblemName(RecordProblem problem) {
    switch (problem) {
        case RecordProblem::None:
            return "none";
        case RecordProblem::NullRecord:
            return "null_record";
        case RecordProblem::UnterminatedName:
            return "unterminated_name";
        case RecordProblem::EmptyName:
            return "empty_name";
        case RecordProblem::BadNameCharacter:
            return "bad_name_character";
        case RecordProblem::UnterminatedPayload:
            return "unterminated_payload";
        case RecordProblem::EmptyPayload:
            return "empty_payload";
        case RecordProblem::PayloadNotJson:
            return "payload_not_json";
        case RecordProblem::PayloadNotObject:
            return "payload_not_object";
    }
    return "unknown";
}

RecordProblem CopyAndCheckRecord(const ReportData& record, std::string* name, std::string* payload,
                                 std::string* detail) {
    if (!FieldText(record.eventName, sizeof(record.eventName), name)) {
        name->assign(record.eventName, sizeof(record.eventName));
        return RecordProblem::UnterminatedName;
    }
    if (name->empty()) return RecordProblem::EmptyName;
    for (unsigned char c : *name) {
        if (c < 0x20 || c == 0x7F) return RecordProblem::BadNameCharacter;
    }
    if (!FieldText(record.data, sizeof(record.data), payload)) {
        return RecordProblem::UnterminatedPayload;
    }
    if (payload->empty()) return RecordProblem::EmptyPayload;
    RecordProblem problem = RecordProblem::None;
    if (!CheckPayload(*payload, &problem, detail)) return problem;
    return RecordProblem::None;
}

std::string Printable(const std::string& text, size_t maxBytes) {
    std::string out = text.size() > maxBytes ? text.substr(0, maxBytes) + "..." : text;
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    return out;
}

}  // namespace tally
