// The one writer of every payload: compact JSON, one line, no white space
// between tokens, members in the library's order (sorted by name).
#ifndef TALLYSERVICE_SRC_HOST_JSON_WRITER_H_
#define TALLYSERVICE_SRC_HOST_JSON_WRITER_H_

#include <string>

#include <json/value.h>

namespace tally {

// For member names and fixed texts, which are literals and live as long as
// the program: the object keeps a pointer to each instead of a copy, which
// saves allocating and freeing them for every payload. The text is the same.
using Literal = Json::StaticString;

std::string WriteCompactJson(const Json::Value& value);

}  // namespace tally

#endif  // TALLYSERVICE_SRC_HOST_JSON_WRITER_H_
