#include "admin_desktop.h"

#include "admin_dstatus.h"
#include "kxerrno.h"
#include "utils.h"

#include <new>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kx {
namespace {

constexpr const char *kDesktopsContainer = "kxName=desktops";

struct MessageReleaser {
    void operator()(LDAPMessage *m) const { ldap_msgfree(m); }
};
using SearchResult = std::unique_ptr<LDAPMessage, MessageReleaser>;

struct ValuesReleaser {
    void operator()(berval **values) const { ldap_value_free_len(values); }
};
using Values = std::unique_ptr<berval *, ValuesReleaser>;

char *copy_value(const berval *value)
{
    return strndup(value->bv_val ? value->bv_val : "", value->bv_len);
}

// The first value of the attribute, newly allocated; NULL when absent.
// Sets `failed` when a copy cannot be made.
char *first_value(LDAP *ld, LDAPMessage *entry, const char *attribute, bool &failed)
{
    Values values(ldap_get_values_len(ld, entry, attribute));
    if (!values || !values.get()[0])
        return nullptr;
    char *copy = copy_value(values.get()[0]);
    if (!copy)
        failed = true;
    return copy;
}

// Every value of the attribute in directory order, NULL-terminated.
char **all_values(LDAP *ld, LDAPMessage *entry, const char *attribute, bool &failed)
{
    Values values(ldap_get_values_len(ld, entry, attribute));
    if (!values)
        return nullptr;
    CArray<char> list(free_text);
    for (int i = 0, count = ldap_count_values_len(values.get()); i < count; ++i) {
        char *copy = copy_value(values.get()[i]);
        if (!copy) {
            failed = true;
            return nullptr;
        }
        list.add(copy);
    }
    char **array = list.take();
    failed = failed || !array;
    return array;
}

// Replaces the field with a copy of the status text (NULL stays NULL).
void overlay(char *&field, const char *status)
{
    free(field);
    field = status ? safe_strdup(status) : nullptr;
}

struct Attribute {
    const char *name;
    char *desktop::*field;
};

// The single-valued attributes of a desktop entry, in reading order; the
// list-valued kxDtuTypeGroups is read into dtugroup after them.
constexpr Attribute kAttributes[] = {
    {"kxID", &desktop::id},
    {"kxModel", &desktop::model},
    {"kxFirmwareRev", &desktop::firmware_rev},
    {"kxLocation", &desktop::location},
    {"kxOtherInfo", &desktop::other_info},
    {"kxStatus", &desktop::status},
    {"kxLastTime", &desktop::last_status_time},
    {"kxFirstTime", &desktop::first_conn_time},
    {"kxMisc1", &desktop::misc1},
    {"kxMisc2", &desktop::misc2},
    {"kxNamespace", &desktop::kxnamespace},
};

}  // namespace

std::string escape_filter_value(std::string_view value)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
            auto byte = static_cast<unsigned char>(c);
            out += '\\';
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}

desktop *allocate_desktop()
{
    return static_cast<desktop *>(safe_calloc(1, sizeof(desktop)));
}

void free_desktop(desktop *rec)
{
    if (!rec)
        return;
    for (const Attribute &attribute : kAttributes)
        free(rec->*attribute.field);
    free_c_array(rec->dtugroup, free_text);
    free(rec);
}

desktop *get_desktop(kxa *conn, const char *id)
{
    desktop *rec = nullptr;
    return find_desktop(conn, id, &rec) == 0 ? rec : nullptr;
}

int find_desktop(kxa *conn, const char *id, desktop **result)
{
    *result = nullptr;
    if (!id || !*id)
        return KX_ENOTFOUND;
    // The ID is a value, not filter syntax: escaped, and an ID whose filter
    // would not fit is not found rather than cut.
    std::string filter = "kxID=" + escape_filter_value(id);
    if (filter.size() + 1 > kDesktopFilterSize) {
        dlprintf("a", "terminal ID too long for a lookup (%zu characters)\n", strlen(id));
        return KX_ENOTFOUND;
    }
    return getDtuByFilter(conn, filter.c_str(), result);
}

int getDtuByFilter(kxa *conn, const char *filter, desktop **result)
{
    *result = nullptr;
    if (!conn || !conn->dsConnection || !conn->subtree)
        return KX_ENOTFOUND;
    std::string base = std::string(kDesktopsContainer) + ", " + conn->subtree;
    if (base.size() + 1 > kDesktopBaseSize) {
        dprintf("getDtuByFilter(): subtree too long (%zu characters)\n", strlen(conn->subtree));
        return KX_ENOTFOUND;
    }
    int timedOut = 0;
    SearchResult found(search_for_entries(conn->dsConnection, filter, base.c_str(), nullptr, 0,
                                          KX_SEARCH_SINGLE, &timedOut));
    if (!found)
        return timedOut ? KX_ETIMEDOUT : KX_ENOTFOUND;
    LDAPMessage *entry = ldap_first_entry(conn->dsConnection, found.get());
    if (!entry)
        return KX_ENOTFOUND;
    desktop *rec = fill_desktop_struct(conn, entry);
    found.reset();
    if (!rec)
        out_of_memory();
    if (rec->id && dbm_desktop_exists(conn->desktopDb, rec->id))
        fill_desktop_status(conn, &rec);
    *result = rec;
    return 0;
}

desktop *fill_desktop_struct(kxa *conn, LDAPMessage *entry)
{
    if (!conn || !conn->dsConnection || !entry)
        return nullptr;
    LDAP *ld = conn->dsConnection;
    bool failed = false;
    std::unique_ptr<desktop, void (*)(desktop *)> rec(allocate_desktop(), free_desktop);
    for (const Attribute &attribute : kAttributes)
        rec.get()->*attribute.field = first_value(ld, entry, attribute.name, failed);
    rec->dtugroup = all_values(ld, entry, "kxDtuTypeGroups", failed);
    return failed ? nullptr : rec.release();
}

int fill_desktop_status(kxa *conn, desktop **record)
{
    desktop *rec = *record;
    dbm_desktop *status = get_dbm_desktop(conn ? conn->desktopDb : nullptr, rec->id);
    if (!status) {
        dprintf("fill_desktop_status(): Could not find equivalent dbm desktop with desktop_id (%s)\n",
                rec->id ? rec->id : "");
        return -1;
    }
    overlay(rec->model, status->model);
    overlay(rec->firmware_rev, status->firmware_rev);
    overlay(rec->status, status->status);
    overlay(rec->last_status_time, status->last_status_time);
    overlay(rec->first_conn_time, status->first_conn_time);
    free_dbm_desktop(status);
    return 0;
}

}  // namespace kx
