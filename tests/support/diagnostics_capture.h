// Collects the library's diagnostic lines for the lifetime of the object,
// instead of sending them to the system log.
#pragma once

#include <string>
#include <vector>

namespace kxtest {

struct DiagnosticLine {
    int priority;
    std::string text;
};

class DiagnosticsCapture {
public:
    DiagnosticsCapture();
    ~DiagnosticsCapture();
    DiagnosticsCapture(const DiagnosticsCapture &) = delete;
    DiagnosticsCapture &operator=(const DiagnosticsCapture &) = delete;

    const std::vector<DiagnosticLine> &lines() const { return lines_; }
    // True when some line equals `text` exactly.
    bool has(const std::string &text) const;
    // True when some line contains `part`.
    bool contains(const std::string &part) const;
    std::string all() const;
    void clear() { lines_.clear(); }

private:
    std::vector<DiagnosticLine> lines_;
};

}  // namespace kxtest
