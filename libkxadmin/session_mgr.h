// The session manager's status question, "smstatus".
#pragma once

#include <cstdint>

namespace kx {

struct SMStatus {
    char *error;        // first word after "ERR/smstatus", or NULL
    int32_t starttime;  // "stime": start time, seconds since the epoch; 0 when not reported
    int32_t sessions;   // "sessions"
    int32_t connected;  // "connected"
    int32_t auth;       // "auth"
};

// A new record with every field zero or NULL.
SMStatus *allocate_smstatus();
// Releases `error` and the record; NULL accepted.
void free_smstatus(SMStatus *rec);

// Asks the session manager on `host` and fills *rec (made with
// allocate_smstatus) from its reply. `connection` is the handle's directory
// connection or NULL: with no host, the directory server's host is asked.
// Returns 0 when the exchange ran, whatever the reply said (also when it
// ended with a read error), and -1 when the connection could not be opened,
// the command written or no data came within 5 seconds.
int get_smstatus(void *connection, const char *host, SMStatus **rec);

// Applies one reply line to the record.
void parse_smstatus_line(SMStatus **rec, const char *line);

}  // namespace kx
