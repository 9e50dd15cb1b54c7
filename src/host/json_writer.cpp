#include "host/json_writer.h"

#include <json/writer.h>

namespace tally {

std::string WriteCompactJson(const Json::Value& value) {
    // Only the indentation changes; every other setting stays at the
    // library's default so the text matches what the backend expects.
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

}  // namespace tally
