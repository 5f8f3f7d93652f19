// The user status database: opened and closed beside the desktop one.
#pragma once

#include "kx_ndbm.h"

namespace kx {

DBM *open_user_dbm(const char *path, int mode);
// Opens a status database ("PATH.pag" and "PATH.dir") close-on-exec, after
// checking its files as product files; NULL when refused or not opened.
DBM *open_status_dbm(const char *path, int mode);
// The ndbm open flags for a connection mode: read-only for the anonymous
// monitoring connection, read-write otherwise; never created.
int dbm_open_flags(int mode);

}  // namespace kx
