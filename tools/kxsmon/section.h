// A section: one query of the library as a command of its own and a part of
// the full report, printed as text, JSON or Prometheus metrics. Each section
// lives in a file of its own and has one entry in the table of sections.
#pragma once

#include "kxsmon.h"
#include "output.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace kxsmon {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// What the command line asks of a section.
struct Request {
    std::vector<std::string> args;  // the words after the section's command
    uint32_t limitSeconds = 0;      // --limit, for the terminal sections
    time_t now = 0;                 // one clock reading for the whole report
    std::string root;               // the product root, "" for none
};

// What a section answered, in every form. A failed query leaves `json` null,
// gives no samples but the ok gauge, and says why in `error`.
struct Result {
    int status = kOk;
    std::string error;  // one line for standard error
    std::string text;   // the section's body, lines indented by two blanks
    Json json;
    Prom prom;
};

struct Section {
    const char *name;   // the command and the key in the JSON document
    const char *title;  // the heading in the text report
    const char *usage;  // the help lines, "  COMMAND ...  what" each
    bool takesArguments;
    Result (*run)(KXSHandle *handle, const Request &request);
};

// Every section, in the order of the report.
const std::vector<Section> &sections();
// The section name a command word stands for: itself, or the name it is
// another word for ("dtus" for "monitored").
std::string section_name(const std::string &command);

// The section files' entries.
extern const Section kVersionSection;
extern const Section kPatchesSection;
extern const Section kUptimeSection;
extern const Section kSessionsSection;
extern const Section kUsersSection;
extern const Section kDesktopsSection;
extern const Section kContactSection;
extern const Section kPolicySection;
extern const Section kDaemonsSection;
extern const Section kInterfacesSection;
extern const Section kDhcpSection;
extern const Section kGroupSection;
extern const Section kMonitoredSection;
extern const Section kExceptionsSection;

// Helpers for the sections.
Result failure(std::string error);
Result misuse(std::string why);
// A section that is one number, with its metric.
Result count_result(int64_t n, const std::string &metric, const std::string &help);
// Why the last change could not be stored, from errno.
std::string store_failure(const std::string &what);

}  // namespace kxsmon
