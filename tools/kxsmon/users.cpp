// The users this server serves. The query gives 0 also when the
// authentication manager cannot be asked: only its outcome tells.
#include "section.h"

namespace kxsmon {
namespace {

Result run(KXSHandle *handle, const Request &)
{
    return count_result(handle, kxfigures::queries::users, "kxsmon_users",
                        "Users this server serves: its units, a multihead group counted once.");
}

}  // namespace

const Section kUsersSection = {"users", "Users",
                               "  users                users served (a multihead group counts once)\n", false,
                               run};

}  // namespace kxsmon
