// The desktop status database: one record of live state per terminal.
#pragma once

#include "kx_ndbm.h"

namespace kx {

// One stored record: six texts, each owned or NULL.
struct dbm_desktop {
    char *id;
    char *model;
    char *firmware_rev;
    char *status;
    char *last_status_time;
    char *first_conn_time;
};

// Stored contents are at most this long; a longer one is read cut to it.
constexpr int kDbmContentMax = 511;
// The field separator of a stored record (ASCII record separator).
constexpr char kDbmFieldSeparator = '\x1e';

DBM *open_desktop_dbm(const char *path, int mode);
dbm_desktop *allocate_dbm_desktop();
void free_dbm_desktop(dbm_desktop *rec);
int dbm_desktop_exists(DBM *db, const char *id);
dbm_desktop *get_dbm_desktop(DBM *db, const char *id);
dbm_desktop *fill_dbm_desktop_struct(const char *id, datum content);

}  // namespace kx
