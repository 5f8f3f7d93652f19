// The system contact, shown or set.
#include "section.h"

#include <cerrno>
#include <cstdlib>

namespace kxsmon {
namespace {

void prom_of(const char *contact, Prom &prom)
{
    prom.gauge("kxsmon_contact_info", "The system contact (always 1).");
    prom.sample("kxsmon_contact_info", {{"contact", contact}}, 1);
}

Result run(KXSHandle *handle, const Request &request)
{
    if (request.args.size() > 1)
        return misuse("contact takes at most one TEXT (quote it)");
    if (request.args.size() == 1) {
        errno = 0;
        if (kxs_setContact(handle, request.args[0].c_str()) != 0)
            return failure(store_failure("the contact"));
    }
    char *contact = kxs_contact(handle);
    if (!contact)
        return failure("the contact is not known");
    Result r;
    r.text = "  " + printable(contact) + "\n";
    r.json = Json::text(contact);
    prom_of(contact, r.prom);
    free(contact);
    return r;
}

}  // namespace

const Section kContactSection = {"contact", "Contact",
                                 "  contact [TEXT]       show, or set, the system contact\n", true, run};

}  // namespace kxsmon
