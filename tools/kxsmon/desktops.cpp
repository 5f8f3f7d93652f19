// The desktop units this server's authentication manager knows. The query
// gives 0 also when the manager cannot be asked: only its outcome tells.
#include "section.h"

namespace kxsmon {
namespace {

Result run(KXSHandle *handle, const Request &)
{
    return count_result(handle, kxfigures::queries::desktops, "kxsmon_desktops",
                        "Desktop units this server's authentication manager knows.");
}

}  // namespace

const Section kDesktopsSection = {"desktops", "Desktops",
                                  "  desktops             desktop units the authentication manager knows\n",
                                  false, run};

}  // namespace kxsmon
