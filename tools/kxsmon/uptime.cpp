// For how long the product has been up.
#include "described.h"
#include "section.h"

namespace kxsmon {
namespace {

std::string text_of(uint32_t hundredths)
{
    if (hundredths == 0)
        return "  down (a critical daemon, the session or the authentication manager is not up)\n";
    const uint32_t seconds = hundredths / 100;
    return "  " + duration_words(seconds) + " (" + std::to_string(seconds) + " s)\n";
}

const kxfigures::Field<KXSHandle> &field = kxfigures::queries::up_time;

Json json_of(const kxfigures::Value &hundredths)
{
    Json up = Json::object()
                  .set("up", Json::boolean(hundredths.number != 0))
                  .set("seconds", Json::number(hundredths.number / 100));
    set_member(up, field.key, field.kind, hundredths);
    return up;
}

// The start rather than the time since, as a metric: it changes only when
// the product restarts.
Prom prom_of(uint32_t hundredths, time_t now)
{
    Prom prom;
    prom.gauge("kxsmon_product_up", "1 when the product is up as a whole, 0 when a part of it is down.");
    prom.sample("kxsmon_product_up", hundredths != 0);
    if (hundredths != 0) {
        prom.gauge("kxsmon_product_start_time_seconds",
                   "Since when the product has been up as a whole, seconds since the epoch.");
        prom.sample_real("kxsmon_product_start_time_seconds", {}, static_cast<double>(now) - hundredths / 100.0);
    }
    return prom;
}

// Down is an answer, the library gives 0 for it as for a failure: only the
// outcome tells them apart.
Result run(KXSHandle *handle, const Request &request)
{
    const kxfigures::Value up = field.read(*handle);
    const auto hundredths = static_cast<uint32_t>(up.number);
    return answer(Outcome::of(handle), true, "the up time could not be had", [&] {
        return known(text_of(hundredths), json_of(up), prom_of(hundredths, request.now));
    });
}

}  // namespace

const Section kUptimeSection = {"uptime", "Up time", "  uptime               for how long the product has been up\n",
                                false, run};

}  // namespace kxsmon
