// The report in its three forms. Every form says which sections are not
// known, so that a reader never takes a missing figure for a real one.
#include "report.h"

#include <climits>
#include <cstdlib>
#include <dlfcn.h>

namespace kxsmon {
namespace {

std::string text_of(const Report &report)
{
    std::string out;
    for (std::size_t i = 0; i < report.results.size(); ++i)
        out += (i ? "\n" : "") + std::string(report.sections[i]->title) + "\n" + report.results[i].text;
    return wrap_lines(out, report.width);
}

// Why each section that is not fully known is so, by its name.
Json errors_of(const Report &report)
{
    Json errors = Json::object();
    for (std::size_t i = 0; i < report.results.size(); ++i) {
        const Result &r = report.results[i];
        if (*r.state)
            errors.set(report.sections[i]->name, Json::object()
                                                     .set("state", Json::text(r.state))
                                                     .set("code", r.code ? Json::number(r.code) : Json())
                                                     .set("text", Json::text(r.error)));
    }
    return errors;
}

std::string json_of(const Report &report)
{
    Json document = Json::object();
    document.set("time", Json::number(report.now));
    document.set("error", report.started ? Json() : Json::text(report.startError));
    document.set("errors", errors_of(report));
    for (std::size_t i = 0; i < report.results.size(); ++i)
        document.set(report.sections[i]->name, report.results[i].json);
    return document.dump() + "\n";
}

std::string prom_of(const Report &report)
{
    Prom head;
    head.gauge("kxsmon_up", "1 when the library started and the queries were asked, 0 when it could not start.");
    head.sample("kxsmon_up", report.started);
    head.gauge("kxsmon_build_info", "The versions of kxsmon and of the library it ran with (always 1).");
    head.sample("kxsmon_build_info", {{"version", tool_version()}, {"library_version", library_version()}}, 1);
    head.gauge("kxsmon_scrape_duration_seconds", "How long kxsmon took to gather the figures.");
    head.sample_real("kxsmon_scrape_duration_seconds", {}, report.seconds);
    std::string out = head.str();
    Prom outcomes;
    outcomes.gauge("kxsmon_query_ok", "1 when the query answered with every source, 0 when a figure is missing.");
    for (std::size_t i = 0; i < report.results.size(); ++i) {
        out += report.results[i].prom.str();
        outcomes.sample("kxsmon_query_ok", {{"query", report.sections[i]->name}}, !*report.results[i].state);
    }
    outcomes.gauge("kxsmon_query_partial", "1 when the query answered with what it had while a source failed.");
    for (std::size_t i = 0; i < report.results.size(); ++i)
        outcomes.sample("kxsmon_query_partial", {{"query", report.sections[i]->name}},
                        std::string_view(report.results[i].state) == "partial");
    outcomes.gauge("kxsmon_report_time_seconds", "When the figures were gathered, seconds since the epoch.");
    outcomes.sample("kxsmon_report_time_seconds", report.now);
    return out + outcomes.str();
}

}  // namespace

const char *tool_version()
{
    return KXSMON_VERSION;
}

// The shared object's real name carries its whole version
// (libkxsmon.so.0.1.0, where the soname is libkxsmon.so.0).
std::string library_version()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&kxs_init), &info) == 0 || !info.dli_fname)
        return "unknown";
    char *real = realpath(info.dli_fname, nullptr);
    const std::string name = real ? real : info.dli_fname;
    free(real);
    const std::size_t so = name.rfind(".so.");
    return so == std::string::npos || name.find('/', so) != std::string::npos ? "unknown" : name.substr(so + 4);
}

std::string render(Format format, const Report &report)
{
    switch (format) {
    case Format::Json:
        return json_of(report);
    case Format::Prom:
        return prom_of(report);
    case Format::Text:
        break;
    }
    return report.started ? text_of(report) : "";
}

}  // namespace kxsmon
