// The system contact, shown or set.
#include "described.h"
#include "section.h"

#include <cerrno>
#include <cstdlib>

namespace kxsmon {
namespace {

Prom prom_of(const char *contact)
{
    Prom prom;
    prom.gauge("kxsmon_contact_info", "The system contact (always 1).");
    prom.sample("kxsmon_contact_info", {{"contact", contact}}, 1);
    return prom;
}

Result run(KXSHandle *handle, const Request &request)
{
    if (request.args.size() > 1)
        return misuse("contact takes at most one TEXT (quote it)");
    if (request.args.size() == 1) {
        errno = 0;
        if (kxs_setContact(handle, request.args[0].c_str()) != 0)
            return refused(handle, store_failure("the contact"));
    }
    char *contact = kxs_contact(handle);
    Result r = answer(Outcome::of(handle), contact, "the contact is not known", [&] {
        const kxfigures::Field<char> &field = kxfigures::texts::contact;
        return known("  " + printable(contact) + "\n", json_value(field.kind, field.read(*contact)),
                     prom_of(contact));
    });
    free(contact);
    return r;
}

}  // namespace

const Section kContactSection = {"contact", "Contact",
                                 "  contact [TEXT]       show, or set, the system contact\n", true, run};

}  // namespace kxsmon
