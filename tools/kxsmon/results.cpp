// What a section answered, whatever it is: figures, figures with a source
// missing, none, or a change refused; the helpers every section builds its
// result with.
#include "section.h"

#include "described.h"

#include <cerrno>
#include <system_error>

namespace kxsmon {

Outcome &Outcome::add(KXSHandle *handle)
{
    const int latest = kxs_lastError(handle);
    if (latest == KXS_OK || failed() || (latest == KXS_EPARTIAL && code == KXS_EPARTIAL))
        return *this;
    code = latest;
    text = printable(kxs_lastErrorText(handle));
    return *this;
}

namespace {

Result without_figures(const char *state, int code, std::string why)
{
    Result r;
    r.status = kFailed;
    r.state = state;
    r.code = code;
    r.error = std::move(why);
    r.text = "  " + std::string(state) + ": " + r.error + "\n";
    return r;
}

}  // namespace

Result known(std::string text, Json json, Prom prom)
{
    Result r;
    r.text = std::move(text);
    r.json = std::move(json);
    r.prom = std::move(prom);
    return r;
}

Result unknown(const Outcome &outcome, const std::string &fallback)
{
    return without_figures("unknown", outcome.code, outcome.text.empty() ? fallback : outcome.text);
}

Result refused(KXSHandle *handle, std::string why)
{
    return without_figures("failed", kxs_lastError(handle), std::move(why));
}

Result not_asked(std::string why)
{
    return without_figures("not asked", KXS_OK, std::move(why));
}

Result partial(const Outcome &outcome, Result r)
{
    r.status = kFailed;
    r.state = "partial";
    r.code = outcome.code;
    r.error = outcome.text;
    r.text = "  partial: " + outcome.text + "\n" + r.text;
    return r;
}

Result misuse(std::string why)
{
    Result r;
    r.status = kUsage;
    r.error = std::move(why);
    return r;
}

Result count_result(KXSHandle *handle, const kxfigures::Field<KXSHandle> &count,
                    const std::string &metric, const std::string &help)
{
    const kxfigures::Value n = count.read(*handle);
    return answer(Outcome::of(handle), n.known, "the query gave no count", [&] {
        Prom prom;
        prom.gauge(metric, help);
        prom.sample(metric, n.number);
        return known("  " + std::to_string(n.number) + "\n", json_value(count.kind, n),
                     std::move(prom));
    });
}

std::string store_failure(const std::string &what)
{
    const int err = errno;
    return what + " could not be stored: " +
           (err ? std::generic_category().message(err) : "see the system log (or run with -v)");
}

}  // namespace kxsmon
