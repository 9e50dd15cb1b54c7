#include "config.h"

#include <fstream>
#include <set>

namespace tally {
namespace app {
namespace {

std::string Trim(const std::string& text) {
    const char* const space = " \t\r";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

bool ValidName(const std::string& name) {
    if (name.empty() || name[0] == '-') return false;
    for (const char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    }
    return true;
}

}  // namespace

bool ExpandConfig(std::vector<std::string>* args, std::vector<std::string>* origins,
                  std::string* error) {
    std::string file;
    std::vector<std::string> rest;
    for (size_t i = 0; i < args->size(); ++i) {
        if ((*args)[i] != "--config") {
            rest.push_back((*args)[i]);
            continue;
        }
        if (i + 1 >= args->size()) {
            *error = "--config needs a FILE";
            return false;
        }
        if (!file.empty()) {
            *error = "--config given twice";
            return false;
        }
        file = (*args)[++i];
    }
    std::vector<std::string> expanded;
    origins->clear();
    if (!file.empty()) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            *error = "cannot read the config file " + file;
            return false;
        }
        std::set<std::string> seen;
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            const std::string where = file + ":" + std::to_string(number) + ": ";
            const std::string text = Trim(line);
            if (text.empty() || text[0] == '#' || text[0] == ';') continue;
            const size_t equals = text.find('=');
            if (equals == std::string::npos) {
                *error = where + "not a `name = value` line";
                return false;
            }
            const std::string name = Trim(text.substr(0, equals));
            const std::string value = Trim(text.substr(equals + 1));
            if (!ValidName(name)) {
                *error = where + "\"" + name + "\" is not a setting's name";
                return false;
            }
            if (name == "config" || name == "help") {
                *error = where + name + " cannot be set in a config file";
                return false;
            }
            if (value.empty()) {
                *error = where + name + " has no value";
                return false;
            }
            if (!seen.insert(name).second) {
                *error = where + name + " is set twice";
                return false;
            }
            expanded.push_back("--" + name);
            expanded.push_back(value);
            origins->push_back(where);
            origins->push_back(where);
        }
        if (in.bad()) {
            *error = "cannot read the config file " + file;
            return false;
        }
    }
    origins->resize(expanded.size() + rest.size());
    expanded.insert(expanded.end(), rest.begin(), rest.end());
    *args = std::move(expanded);
    return true;
}

}  // namespace app
}  // namespace tally
