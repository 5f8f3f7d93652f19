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

// Writes all of `text` to `fd` before `deadline`. False, with errno set
// (ETIMEDOUT when the deadline passed), when it cannot.
bool write_before(int fd, std::string_view text, Deadline deadline);

}  // namespace kxsmon
