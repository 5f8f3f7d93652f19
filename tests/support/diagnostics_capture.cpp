#include "diagnostics_capture.h"

#include "utils.h"

namespace kxtest {

DiagnosticsCapture::DiagnosticsCapture()
{
    kx::set_diagnostic_sink(
        [this](int priority, const std::string &line) { lines_.push_back({priority, line}); });
}

DiagnosticsCapture::~DiagnosticsCapture()
{
    kx::set_diagnostic_sink(nullptr);
}

bool DiagnosticsCapture::has(const std::string &text) const
{
    for (const auto &line : lines_)
        if (line.text == text)
            return true;
    return false;
}

bool DiagnosticsCapture::contains(const std::string &part) const
{
    for (const auto &line : lines_)
        if (line.text.find(part) != std::string::npos)
            return true;
    return false;
}

std::string DiagnosticsCapture::all() const
{
    std::string text;
    for (const auto &line : lines_)
        text += line.text + "\n";
    return text;
}

}  // namespace kxtest
