// The one writer of every payload: compact JSON, one line, no white space
// between tokens, members in the library's order (sorted by name).
#ifndef TALLYSERVICE_SRC_HOST_JSON_WRITER_H_
#define TALLYSERVICE_SRC_HOST_JSON_WRITER_H_

#include <string>

#include <json/value.h>

namespace tally {

std::string WriteCompactJson(const Json::Value& value);

}  // namespace tally

#endif  // TALLYSERVICE_SRC_HOST_JSON_WRITER_H_
