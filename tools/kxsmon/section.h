// A section: one query of the library as a command of its own and a part of
// the full report, printed as text, JSON or Prometheus metrics. Each section
// lives in a file of its own and has one entry in the table of sections.
#pragma once

#include "fields.h"
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
    bool full = false;              // -l: every column, times in full
    std::size_t width = 0;          // columns a text table may take, 0 for any
};

// What a section answered, in every form. A section without a figure to
// show leaves `json` null, gives no samples (only the ok gauge), and says
// why in `error`; a partial one keeps its figures and says what is missing.
struct Result {
    int status = kOk;        // kFailed for every state but the known one
    const char *state = "";  // "" when known; else "unknown", "partial",
                             // "failed" (a change refused) or "not asked"
    int code = KXS_OK;       // the library's KXS_E... code for it, when it gave one
    std::string error;       // one line for standard error
    std::string text;        // the section's body, lines indented by two blanks
    Json json;
    Prom prom;
};

// What the library said of the queries a section made: the first failure
// outranks a partial answer, and either outranks success.
struct Outcome {
    int code = KXS_OK;
    std::string text;

    // Takes in the outcome of the query just made on `handle`.
    Outcome &add(KXSHandle *handle);
    static Outcome of(KXSHandle *handle) { return Outcome().add(handle); }
    bool failed() const { return code != KXS_OK && code != KXS_EPARTIAL; }
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
// A result with its figures in the three forms.
Result known(std::string text, Json json, Prom prom);
// A section whose figures are not known: the library's reason, or `fallback`
// when it gives none.
Result unknown(const Outcome &outcome, const std::string &fallback);
// A change (a contact set, a terminal added) that was not made.
Result refused(KXSHandle *handle, std::string why);
// A result whose figures lack what a failed source would have given.
Result partial(const Outcome &outcome, Result r);
// A section that was not asked at all.
Result not_asked(std::string why);
Result misuse(std::string why);
// The section's result once its queries are made: unknown when one failed
// or there is no figure (`answered` false); otherwise what `build` makes,
// marked partial when the library says that a source was missing.
template <class Build>
Result answer(const Outcome &outcome, bool answered, const std::string &fallback, Build &&build)
{
    if (!answered || outcome.failed())
        return unknown(outcome, fallback);
    return outcome.code == KXS_EPARTIAL ? partial(outcome, build()) : build();
}
// A section that is one count, with its metric: the query `count` made now.
Result count_result(KXSHandle *handle, const kxfigures::Field<KXSHandle> &count,
                    const std::string &metric, const std::string &help);
// Why the last change could not be stored, from errno.
std::string store_failure(const std::string &what);

}  // namespace kxsmon
