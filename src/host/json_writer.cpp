#include "host/json_writer.h"

#include <json/writer.h>

namespace tally {
namespace {

// The builder is made once: building one sets every default setting anew,
// which cost more than a tenth of a payload's build. Only the indentation
// changes; every other setting stays at the library's default so the text
// matches what the backend expects. Writers read it only through const
// members, so threads share it. Never destroyed: detached threads may still
// write a payload while the process exits.
const Json::StreamWriterBuilder& CompactBuilder() {
    static const Json::StreamWriterBuilder* const builder = [] {
        auto* made = new Json::StreamWriterBuilder();
        (*made)["indentation"] = "";
        return made;
    }();
    return *builder;
}

}  // namespace

std::string WriteCompactJson(const Json::Value& value) {
    return Json::writeString(CompactBuilder(), value);
}

}  // namespace tally
