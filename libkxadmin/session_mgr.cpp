#include "session_mgr.h"

#include "admin.h"
#include "exchange.h"
#include "utils.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>


namespace kx {

namespace {

constexpr DaemonClient kClient{"get_smstatus", "b",    true, false, kSessionMgrService,
                               kSessionMgrFallbackPort, false, Opener::Plain};
// Words of a reply line that are looked at; further words are ignored.
constexpr int kMaxWords = 100;

// The host to ask: the given one, else the directory server's.
const char *smstatus_host(void *connection, const char *host)
{
    if (host || !connection)
        return host;
    return get_server_name(static_cast<const kxa *>(connection));
}

void apply_smstatus_pair(SMStatus *rec, const char *word)
{
    char *key = nullptr;
    char *value = nullptr;
    if (parse_key_and_value(word, &key, &value) && key && value && *value) {
        int number = text_to_int32(value);
        if (strcasecmp(key, "stime") == 0)
            rec->starttime = number;
        else if (strcasecmp(key, "sessions") == 0)
            rec->sessions = number;
        else if (strcasecmp(key, "connected") == 0)
            rec->connected = number;
        else if (strcasecmp(key, "auth") == 0)
            rec->auth = number;
    }
    free(key);
    free(value);
}

}  // namespace

SMStatus *allocate_smstatus()
{
    return static_cast<SMStatus *>(safe_calloc(1, sizeof(SMStatus)));
}

void free_smstatus(SMStatus *rec)
{
    if (!rec)
        return;
    free(rec->error);
    free(rec);
}

void parse_smstatus_line(SMStatus **rec, const char *line)
{
    if (!rec || !*rec || !line)
        return;
    std::string copy(line);
    char *words[kMaxWords];
    int count = make_fields(copy.data(), words, kMaxWords);
    if (count < 2)
        return;
    if (std::strcmp(words[0], "OK/smstatus") == 0) {
        for (int i = 1; i < count; ++i)
            apply_smstatus_pair(*rec, words[i]);
    } else if (std::strcmp(words[0], "ERR/smstatus") == 0) {
        free((*rec)->error);
        (*rec)->error = safe_strdup(words[1]);
    }
}

int get_smstatus(void *connection, const char *host, SMStatus **rec)
{
    const char *target = smstatus_host(connection, host);
    if (!target) {
        dprintf("get_smstatus(): First and second args are NULL pointers\n");
        return -1;
    }
    Outcome outcome = ask_daemon(kClient, target, "smstatus\n", [rec](std::string_view line) {
        parse_smstatus_line(rec, line.data());
        return true;
    });
    // A reply cut short keeps what came: only a failed start is a failure.
    return client_result(kClient, outcome) == 0 ? 0 : -1;
}

}  // namespace kx
