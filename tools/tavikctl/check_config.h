// SPDX-License-Identifier: GPL-3.0-or-later
// The pieces `tavikctl check-config` is made of: its report of problems, the reading of
// one key as the daemon reads it, and the checks of the cluster layout (servers and
// heartbeat resources). Single-threaded, like the rest of tavikctl.
#pragma once

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cluster_layout.h"
#include "zvrxml.h"

namespace tavikctl::checkcfg {

// The daemon's address buffer and its limits on names (table record sizes).
inline constexpr int address_buffer = 46;
inline constexpr std::size_t node_name_limit = 255;
inline constexpr std::size_t resource_name_limit = 31;

enum class Severity { warning, error };

struct Problem {
    int line = 0;  // 0 when the problem has no place in the file
    Severity severity = Severity::error;
    std::string key;
    std::string message;
};

class Report {
  public:
    explicit Report(std::string file) : file_(std::move(file)) {}

    void error(int line, std::string key, std::string message) {
        problems_.push_back({line, Severity::error, std::move(key), std::move(message)});
    }
    void warning(int line, std::string key, std::string message) {
        problems_.push_back({line, Severity::warning, std::move(key), std::move(message)});
    }
    // Printed after the problems, before the summary.
    void note(std::string line) { notes_.push_back(std::move(line)); }

    // Prints every problem in file order, then the summary (or all of it as JSON); returns
    // the exit status. strict: warnings fail too.
    int print(bool strict = false, bool json = false) {
        std::stable_sort(problems_.begin(), problems_.end(),
                         [](const Problem &a, const Problem &b) { return a.line < b.line; });
        int errors = 0;
        int warnings = 0;
        nlohmann::ordered_json listed = nlohmann::ordered_json::array();
        for (const Problem &p : problems_) {
            bool is_error = p.severity == Severity::error;
            (is_error ? errors : warnings)++;
            if (json) {
                listed.push_back({{"line", p.line},
                                  {"severity", is_error ? "error" : "warning"},
                                  {"key", p.key},
                                  {"message", p.message}});
                continue;
            }
            std::string place = p.line > 0 ? file_ + ":" + std::to_string(p.line) : file_;
            std::printf("%s: %s: %s%s%s\n", place.c_str(), is_error ? "error" : "warning", p.key.c_str(),
                        p.key.empty() ? "" : ": ", p.message.c_str());
        }
        const int status = errors > 0 || (strict && warnings > 0) ? 2 : 0;
        if (json) {
            nlohmann::ordered_json doc = {{"file", file_},    {"errors", errors},  {"warnings", warnings},
                                          {"strict", strict}, {"ok", status == 0}, {"problems", listed},
                                          {"notes", notes_}};
            std::printf("%s\n", doc.dump(2).c_str());
            return status;
        }
        for (const std::string &line : notes_) {
            std::printf("%s\n", line.c_str());
        }
        std::printf("%s: %d error%s, %d warning%s\n", file_.c_str(), errors, errors == 1 ? "" : "s", warnings,
                    warnings == 1 ? "" : "s");
        return status;
    }

  private:
    std::string file_;
    std::vector<Problem> problems_;
    std::vector<std::string> notes_;
};

// Thrown when the check itself cannot run (policies missing): exit status 1.
struct CheckFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline std::string in_quotes(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// The result of reading one key through the library, as the daemon would.
struct Read {
    int result = XMLLIB_OK;
    int number = 0;
    std::string text;
    std::string why;  // the library's explanation on failure
};

Read read_key(const std::string &path, int type, int buffer);

// Explains a failed read of a key that is present in the file.
std::string read_failure(const Read &r, std::string_view raw, int buffer, std::string_view fallback);

// The servers and their BMC addresses; the heartbeat resources and their device ids,
// read through the library as the daemon reads them.
void check_servers(Report &report, const ClusterLayout &layout);
void check_resources(Report &report, const ClusterLayout &layout);

}  // namespace tavikctl::checkcfg
