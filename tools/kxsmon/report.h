// A run of kxsmon as a whole: the sections asked on one handle in a thread
// of their own, within the run's deadline, and the document they make in
// each of the three forms.
#pragma once

#include "section.h"

#include <chrono>
#include <optional>
#include <string_view>

namespace kxsmon {

enum class Format { Text, Json, Prom };

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;  // none: as long as it takes

// What a run gathered: one result for each section asked for, in order.
struct Report {
    std::vector<const Section *> sections;
    std::vector<Result> results;
    bool started = false;    // the library gave a handle
    std::string startError;  // why it did not, when it did not
    time_t now = 0;
    double seconds = 0;      // how long the run took
    std::size_t width = 0;   // columns a line of text may take, 0 for any
};

// Asks `chosen` one after the other on one handle, in a worker thread, and
// returns when they are done or `deadline` passes; the sections not done by
// then are reported as not asked. `unfinished` tells that the worker is
// still inside the library then: the caller ends the process without
// waiting for it.
Report gather(const std::vector<const Section *> &chosen, const Request &request, Deadline deadline,
              bool &unfinished);

// The report as one text in `format`.
std::string render(Format format, const Report &report);

// This program's version, and the version of the monitoring library it
// runs with, told from the file it was loaded from ("unknown" when that
// names none).
const char *tool_version();
std::string library_version();

// Writes all of `text` to `fd` before `deadline`. False, with errno set
// (ETIMEDOUT when the deadline passed), when it cannot.
bool write_before(int fd, std::string_view text, Deadline deadline);

// Replaces the file `path` with one that holds `text`, through a temporary
// file in the same directory renamed over it once all is written: "" when
// done, else why not (the old file then stays as it was).
std::string replace_file(const std::string &path, std::string_view text);

}  // namespace kxsmon
