// Desktop records: a terminal's directory entry, completed from the desktop
// status database.
#pragma once

#include "admin.h"

#include <string>

namespace kx {

struct desktop {
    char *id;
    char *model;
    char *firmware_rev;
    char *location;
    char *other_info;
    char *status;
    char *last_status_time;
    char *first_conn_time;
    char *misc1;
    char *misc2;
    char *kxnamespace;
    char **dtugroup;  // NULL-terminated, directory order
};

// Size limits of the lookup: the filter "kxID=<escaped ID>" and the search
// base "kxName=desktops, <subtree>", NUL included.
constexpr std::size_t kDesktopFilterSize = 128;
constexpr std::size_t kDesktopBaseSize = 500;

desktop *allocate_desktop();
void free_desktop(desktop *rec);
// The desktop of the terminal `id`, or NULL when it is not found or the
// lookup fails.
desktop *get_desktop(kxa *conn, const char *id);
// The same, telling the two apart: 0 with the desktop in *result,
// KX_ETIMEDOUT when the directory did not answer in time, KX_ENOTFOUND for
// any other failure (no entry, several, a refused ID).
int find_desktop(kxa *conn, const char *id, desktop **result);
int getDtuByFilter(kxa *conn, const char *filter, desktop **result);
desktop *fill_desktop_struct(kxa *conn, LDAPMessage *entry);
int fill_desktop_status(kxa *conn, desktop **record);

// `value` escaped for an LDAP filter (RFC 4515): "*", "(", ")", "\" and NUL
// become "\2a", "\28", "\29", "\5c" and "\00".
std::string escape_filter_value(std::string_view value);

}  // namespace kx
