// A configuration file for a program whose settings are long command-line
// flags: one `name = value` per line, the name being the flag without its
// leading dashes. Blank lines and lines starting with # or ; are ignored.
#ifndef TALLYSERVICE_SERVER_APP_CONFIG_H_
#define TALLYSERVICE_SERVER_APP_CONFIG_H_

#include <string>
#include <vector>

namespace tally {
namespace app {

// Finds `--config FILE` in `args` (the command line after the program name)
// and puts the file's settings in its place as flags, ahead of every flag of
// the command line, so that one given there overrides the file. `origins`
// comes back as long as `args`: "FILE:LINE: " for what came from the file,
// empty for the rest, to put in front of a complaint about a value. A line
// that is not `name = value`, a name given twice, and `config` or `help` as
// a name are refused with the file and line in `error`; whether a name is
// known is the caller's to check.
bool ExpandConfig(std::vector<std::string>* args, std::vector<std::string>* origins,
                  std::string* error);

}  // namespace app
}  // namespace tally

#endif  // TALLYSERVICE_SERVER_APP_CONFIG_H_
