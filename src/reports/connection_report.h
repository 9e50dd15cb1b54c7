// What the two connection reports share.
#ifndef TALLYSERVICE_SRC_REPORTS_CONNECTION_REPORT_H_
#define TALLYSERVICE_SRC_REPORTS_CONNECTION_REPORT_H_

namespace tally {

// "true" or "false", the payloads' yes/no convention; a literal.
const char* YesNo(bool value);

}  // namespace tally

#endif  // TALLYSERVICE_SRC_REPORTS_CONNECTION_REPORT_H_
