// The failover group's host status ("gstatus"): one host line per server of
// the group, each followed by one line per network interface of that server.
#pragma once

#include <cstdint>
#include <string>

namespace kx {

struct gm_interface {
    char ifname[16];       // word 1, at most 15 characters
    int32_t iflastpkt;     // word 9: seconds since the last packet
    uint32_t ifbcastaddr;  // word 7, hexadecimal
    uint32_t ifipaddr;     // word 3, hexadecimal
    uint32_t ifnetmask;    // word 5, hexadecimal
    int32_t isLAN;         // the word LAN after word 9
};

struct gm_hostinfo {
    char name[256];            // word 1, at most 255 characters
    uint32_t hostaddr;         // word 7, hexadecimal
    int32_t numifs;            // entries of `interfaces`
    int32_t lastseen;          // word 3: seconds since last heard from; negative when down
    int32_t timeoff;           // word 5
    int32_t period;            // after "period"; 20 when not given
    gm_interface *interfaces;  // numifs entries, in the order of the interface lines
    int32_t starttime;         // after "starttime"; 0 when not given
};

struct gm_host {
    int32_t trusted;  // TRUSTED
    int32_t offline;  // OFFLINE
    int32_t lanOk;    // LAN_OK
    gm_hostinfo *info;
};

struct HostList {
    gm_host *host;
    HostList *next;
};

// Words of a line that are looked at; a host or interface line needs ten.
constexpr int kMaxLineWords = 100;
constexpr int kMinEntryWords = 10;
// The most interface lines that a host block of kMaxBlockLength bytes can
// hold next to its host line (each line at least ten one-letter words). A
// host line announcing more, or a negative count, gets no interface table.
constexpr int kMaxHostInterfaces = 72;

// The most hosts one group reply may list (later hosts are dropped with a
// diagnostic), and so the most members a merged query asks. Failover groups
// are a handful of servers; 64 leaves room to spare while keeping what one
// reply can make the caller allocate and ask small.
constexpr int kMaxGroupMembers = 64;
// The whole of a query that asks the group's members in turn: a member that
// hangs costs up to 5 seconds of probe, 5 of connect and 30 of reply, so one
// such member still leaves time for the others, and the caller never waits
// longer than this for the group.
constexpr int kGroupQueryMs = 60000;

// The group's hosts as seen from `host` (the callers give the handle's host
// name), or NULL; *count gets their number. Release with free_HostList.
HostList *get_gm_hosts(const char *host, int *count);
// Asks `host` with "gstatus" and stores the list through `list`; a host
// name that does not resolve is reported as "Unable to resolve host".
void get_gstatus(const char *host, HostList **list);

// Classifies one reply line: a host line sets `numifs`, an interface line
// adds one to `ifcount`; both are appended to the block. Others change
// nothing.
void parse_host_line(HostList **list, const char *line, std::string &hostBlock, int *numifs,
                     int *ifcount);
// Turns one host block into a host appended to the list.
void parse_host_entry(HostList **list, const char *hostBlock);

// The state of one "gstatus" reply: the open host block and its counts.
// Hosts are appended to *list as their blocks complete.
class GstatusReader {
public:
    explicit GstatusReader(HostList **head) : list(head), tail(head) {}
    // One complete reply line. False when the reply sent more interface
    // lines than announced: the whole list has then been released.
    bool line(const char *text);
    // At the end of the reply: a complete block still open is taken.
    void finish();

private:
    bool hostSeen() const;
    bool complete() const;
    void take_block();

    HostList **list;
    HostList **tail;  // where the next host goes: appending stays O(1)
    std::string block;
    int numifs = 0;
    int ifcount = 0;
    int hosts = 0;  // blocks taken
};

gm_host *allocate_gm_host();
void add_host_to_list(HostList **list, gm_host *host);
void free_gm_host(gm_host *host);
void free_HostList(HostList *list);

// True when three times `period` is less than `age`, both unsigned: a
// negative age counts as timed out.
bool isTimedOut(int32_t age, int32_t period);

}  // namespace kx
