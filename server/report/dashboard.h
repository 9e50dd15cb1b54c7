// The fleet report: one HTML page that opens from a file with no network,
// drawn from the store's daily rollups only (never raw events). The data
// travels as JSON inside the page; the page's script filters it by date and
// draws the charts with the inlined Chart.js, each with a table of the
// numbers it draws. `tally-collector report` writes it; the operator port
// serves it as /dashboard.
#ifndef TALLYSERVICE_SERVER_REPORT_DASHBOARD_H_
#define TALLYSERVICE_SERVER_REPORT_DASHBOARD_H_

#include <string>
#include <vector>

#include "store.h"

namespace tally {
namespace report {

// Whether `day` is a calendar day written YYYY-MM-DD (years 1970-9999).
bool IsDay(const std::string& day);

// `text` as a JSON string literal (quotes included) that cannot end the
// <script> element it sits in nor be read as markup: <, > and & are written
// as \u escapes, so are U+2028 and U+2029 (line ends to older script
// parsers) and control characters. Bytes that are not UTF-8 become U+FFFD.
std::string ScriptSafeJsonString(const std::string& text);

// The page for `rows`. The range the page opens with is `range`; an open
// bound is the first (last) day the rows hold.
std::string RenderDashboard(const std::vector<server::RollupRow>& rows,
                            const server::RollupQuery& range);

// Reads the rollups within `range` from `store` and renders them. False
// with `error` when the store cannot answer (or keeps no rollups) or a bound
// is not a day.
bool BuildDashboard(server::Store& store, const server::RollupQuery& range, std::string* page,
                    std::string* error);

}  // namespace report
}  // namespace tally

#endif  // TALLYSERVICE_SERVER_REPORT_DASHBOARD_H_
