// Every terminal that this server's authentication manager reports, owned
// or unowned, by terminal ID.
#include "terminals.h"

namespace kxsmon {
namespace {

Result run(KXSHandle *handle, const Request &request)
{
    KXSDTU **dtus = kxs_DTUException(handle, request.limitSeconds, nullptr);
    Result r = answer(Outcome::of(handle), dtus, "this server's authentication manager does not answer",
                      [&] { return terminals_result(dtus, "on this server", "kxsmon_server_terminal", request, false); });
    kxs_freeDTUs(handle, dtus);
    return r;
}

}  // namespace

const Section kExceptionsSection = {"exceptions", "Terminals of this server",
                                    "  exceptions           every terminal of this server, owned or unowned\n",
                                    false, run};

}  // namespace kxsmon
