// Collects the library's diagnostic lines for the lifetime of the object,
// instead of sending them to the system log.
#pragma once

#include "utils.h"

#include <string>
#include <vector>

namespace kxtest {

struct DiagnosticLine {
    int priority;
    std::string text;
};

class DiagnosticsCapture {
public:
    DiagnosticsCapture()
    {
        kx::set_diagnostic_sink(
            [this](int priority, const std::string &line) { lines_.push_back({priority, line}); });
    }
    ~DiagnosticsCapture() { kx::set_diagnostic_sink(nullptr); }
    DiagnosticsCapture(const DiagnosticsCapture &) = delete;
    DiagnosticsCapture &operator=(const DiagnosticsCapture &) = delete;

    const std::vector<DiagnosticLine> &lines() const { return lines_; }
    void clear() { lines_.clear(); }
    // True when some line contains `part`.
    bool contains(const std::string &part) const { return all().find(part) != std::string::npos; }
    std::string all() const
    {
        std::string text;
        for (const auto &line : lines_)
            text += line.text + "\n";
        return text;
    }

private:
    std::vector<DiagnosticLine> lines_;
};

}  // namespace kxtest
