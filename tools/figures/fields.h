// The figures of every record the library returns, described once: for each
// field the key the JSON report gives it, what kind of figure it is, and the
// one reader from the C record to its value, with the conversions the
// outputs share (a count below zero, a loss out of range, a role and its
// offline mark, the LAN mark). The kxsmon command builds its JSON objects
// from these fields and the agent serves its columns from them, so a field
// added here shows in both and neither can read a record its own way.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <arpa/inet.h>

#include "kxsmon.h"
#include "states.h"

namespace kxfigures {

// What a field holds, which tells every output how to show it.
enum class Kind {
    Text,       // a text; NULL when the record has none
    Address,    // an IP address as text
    Netmask,    // an address mask; `flag`: of the family of the record's address
    Count,      // a number of things; not known below zero
    Time,       // seconds since the epoch; 0 for none
    Ticks,      // hundredths of a second
    State,      // one of a States (`named`); JSON gives its number beside as "status"
    Role,       // a member's role (`named`), the text as the library gives it;
                // `flag`: marked offline
    Mark,       // a text that marks the record (`flag`) when it is the field's word
    Percent,    // 0 to 100; not known when the record has none
    LocalDate,  // "Mon DD YYYY HH:MM" in the server's local time
    List,       // items that the library joins with ", "
};

// A field's value as its reader makes it; which members count is the kind's.
struct Value {
    const char *text = nullptr;
    int64_t number = 0;  // also a State's or Role's number
    double percent = 0;
    const Named *named = nullptr;
    bool flag = false;
    bool known = true;
};

template <class Record>
struct Field {
    const char *key;  // in the JSON report
    Kind kind;
    Value (*read)(const Record &);
};

// The readers' conversions.
namespace read {

inline Value text(const char *t)
{
    return {.text = t};
}

inline Value count(int64_t n)
{
    return {.number = n, .known = n >= 0};
}

inline Value number(uint32_t n, bool has = true)
{
    return {.number = n, .known = has};
}

inline Value state(const States &states, int32_t n)
{
    const Named &named = states.of(n);
    return {.number = named.number, .named = &named};
}

inline Value role(const char *t)
{
    const MemberRole role = member_role(t);
    return {.text = t, .number = role.role->number, .named = role.role, .flag = role.offline};
}

inline Value mark(const char *t, const char *word)
{
    return {.text = t, .flag = t && strcmp(t, word) == 0};
}

// A loss the library computed from packets: out of range only by a fault,
// taken as the nearest bound; none when not a number.
inline Value percent(float p, bool has)
{
    if (!has || !std::isfinite(p))
        return {.known = false};
    return {.percent = std::clamp(static_cast<double>(p), 0.0, 100.0)};
}

inline int address_family(const char *address)
{
    unsigned char bytes[16];
    if (address && inet_pton(AF_INET, address, bytes) == 1)
        return AF_INET;
    if (address && inet_pton(AF_INET6, address, bytes) == 1)
        return AF_INET6;
    return AF_UNSPEC;
}

// A mask means something only beside an address of its family.
inline Value netmask(const char *mask, const char *address)
{
    return {.text = mask, .flag = address_family(mask) == address_family(address)};
}

// A figure that is a query of its own: the query changes the handle's
// outcome, which the caller reads after it.
template <auto query>
Value queried_count(const KXSHandle &handle)
{
    return count(query(const_cast<KXSHandle *>(&handle)));
}

template <auto query>
Value queried_number(const KXSHandle &handle)
{
    return number(query(const_cast<KXSHandle *>(&handle)));
}

}  // namespace read

namespace version {
inline constexpr Field<KXSVersion> version{
    "version", Kind::Text, [](const KXSVersion &v) { return read::text(v.version); }};
inline constexpr Field<KXSVersion> install_date{
    "installDate", Kind::LocalDate, [](const KXSVersion &v) { return read::text(v.installDate); }};
inline constexpr const Field<KXSVersion> *all[] = {&version, &install_date};
}  // namespace version

// The queries that answer with one text: their record is that text, read
// from its first character.
namespace texts {
inline constexpr Field<char> patches{
    "patches", Kind::List, [](const char &t) { return read::text(&t); }};
inline constexpr Field<char> contact{
    "contact", Kind::Text, [](const char &t) { return read::text(&t); }};
inline constexpr Field<char> policy{
    "policy", Kind::Text, [](const char &t) { return read::text(&t); }};
inline constexpr const Field<char> *all[] = {&patches, &contact, &policy};
}  // namespace texts

// The scalars that are each a query of the handle.
namespace queries {
inline constexpr Field<KXSHandle> up_time{
    "hundredths", Kind::Ticks, read::queried_number<kxs_upTime>};
inline constexpr Field<KXSHandle> total_sessions{
    "total", Kind::Count, read::queried_count<kxs_totalSessions>};
inline constexpr Field<KXSHandle> active_sessions{
    "active", Kind::Count, read::queried_count<kxs_sessions>};
inline constexpr Field<KXSHandle> users{"users", Kind::Count, read::queried_count<kxs_users>};
inline constexpr Field<KXSHandle> desktops{
    "desktops", Kind::Count, read::queried_count<kxs_desktops>};
inline constexpr const Field<KXSHandle> *all[] = {&up_time, &total_sessions, &active_sessions,
                                                  &users, &desktops};
}  // namespace queries

namespace daemons {
inline constexpr Field<KXSDaemon> name{
    "name", Kind::Text, [](const KXSDaemon &d) { return read::text(d.name); }};
inline constexpr Field<KXSDaemon> state{
    "state", Kind::State,
    [](const KXSDaemon &d) { return read::state(daemon_states(), d.status); }};
inline constexpr Field<KXSDaemon> instances{
    "instances", Kind::Count, [](const KXSDaemon &d) { return read::count(d.instances); }};
inline constexpr Field<KXSDaemon> start_time{
    "stime", Kind::Time, [](const KXSDaemon &d) { return read::number(d.stime); }};
inline constexpr Field<KXSDaemon> change_time{
    "changetm", Kind::Time, [](const KXSDaemon &d) { return read::number(d.changetm); }};
inline constexpr Field<KXSDaemon> description{
    "description", Kind::Text, [](const KXSDaemon &d) { return read::text(d.description); }};
inline constexpr const Field<KXSDaemon> *all[] = {&name,       &state,       &instances,
                                                  &start_time, &change_time, &description};
}  // namespace daemons

namespace interfaces {
inline constexpr Field<KXSInterface> name{
    "name", Kind::Text, [](const KXSInterface &i) { return read::text(i.name); }};
inline constexpr Field<KXSInterface> address{
    "ipaddr", Kind::Address, [](const KXSInterface &i) { return read::text(i.ipaddr); }};
inline constexpr Field<KXSInterface> netmask{
    "netmask", Kind::Netmask,
    [](const KXSInterface &i) { return read::netmask(i.netmask, i.ipaddr); }};
inline constexpr Field<KXSInterface> state{
    "state", Kind::State,
    [](const KXSInterface &i) { return read::state(link_states(), i.status); }};
inline constexpr Field<KXSInterface> last_packet{
    "lastpkt", Kind::Ticks, [](const KXSInterface &i) { return read::number(i.lastpkt); }};
// The group's LAN interface is marked "LAN", any other "".
inline constexpr Field<KXSInterface> lan{
    "type", Kind::Mark, [](const KXSInterface &i) { return read::mark(i.type, "LAN"); }};
inline constexpr const Field<KXSInterface> *all[] = {&name,  &address,     &netmask,
                                                     &state, &last_packet, &lan};
}  // namespace interfaces

namespace dhcp {
inline constexpr Field<KXSDHCPEntry> name{
    "name", Kind::Text, [](const KXSDHCPEntry &e) { return read::text(e.name); }};
inline constexpr Field<KXSDHCPEntry> available{
    "available", Kind::Count, [](const KXSDHCPEntry &e) { return read::count(e.available); }};
inline constexpr const Field<KXSDHCPEntry> *all[] = {&name, &available};
}  // namespace dhcp

namespace members {
inline constexpr Field<KXSFOHost> name{
    "name", Kind::Text, [](const KXSFOHost &h) { return read::text(h.name); }};
inline constexpr Field<KXSFOHost> role{
    "role", Kind::Role, [](const KXSFOHost &h) { return read::role(h.role); }};
inline constexpr Field<KXSFOHost> state{
    "state", Kind::State, [](const KXSFOHost &h) { return read::state(link_states(), h.status); }};
inline constexpr const Field<KXSFOHost> *all[] = {&name, &role, &state};
}  // namespace members

namespace terminals {
// An absent terminal's figures are zeros that no member reported.
inline bool reported(const KXSDTU &t)
{
    return t.state != KXS_DTU_ABSENT;
}

inline constexpr Field<KXSDTU> id{
    "terminalId", Kind::Text, [](const KXSDTU &t) { return read::text(t.terminalId); }};
inline constexpr Field<KXSDTU> state{
    "state", Kind::State, [](const KXSDTU &t) { return read::state(terminal_states(), t.state); }};
inline constexpr Field<KXSDTU> address{
    "terminalIPA", Kind::Address, [](const KXSDTU &t) { return read::text(t.terminalIPA); }};
inline constexpr Field<KXSDTU> server{
    "serverName", Kind::Text, [](const KXSDTU &t) { return read::text(t.serverName); }};
inline constexpr Field<KXSDTU> model{
    "model", Kind::Text, [](const KXSDTU &t) { return read::text(t.model); }};
inline constexpr Field<KXSDTU> firmware{
    "firmware", Kind::Text, [](const KXSDTU &t) { return read::text(t.firmware); }};
inline constexpr Field<KXSDTU> packets{
    "terminalPackets", Kind::Count,
    [](const KXSDTU &t) { return read::number(t.terminalPackets, reported(t)); }};
inline constexpr Field<KXSDTU> lost_packets{
    "terminalLostPackets", Kind::Count,
    [](const KXSDTU &t) { return read::number(t.terminalLostPackets, reported(t)); }};
inline constexpr Field<KXSDTU> loss{
    "lossPercent", Kind::Percent,
    [](const KXSDTU &t) { return read::percent(t.lossPercent, reported(t)); }};
inline constexpr Field<KXSDTU> location{
    "location", Kind::Text, [](const KXSDTU &t) { return read::text(t.location); }};
inline constexpr Field<KXSDTU> other_info{
    "otherInfo", Kind::Text, [](const KXSDTU &t) { return read::text(t.otherInfo); }};
inline constexpr const Field<KXSDTU> *all[] = {&id,    &state,    &address,   &server,
                                               &model, &firmware, &packets,   &lost_packets,
                                               &loss,  &location, &other_info};
}  // namespace terminals

}  // namespace kxfigures
