// The agent's notifications as its watcher finds them between two answers
// of a source, and the conversions of the figures' table that stations read
// (dates, addresses, roles, which objects exist). The parts are laid out by
// the agent's own table from library records, as a gathering lays them out.
#include "figures.h"
#include "gather.h"
#include "notifications.h"

#include "states.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <ctime>
#include <string>
#include <vector>

namespace {

using namespace kxagent;

// A part of one table: each row a record made from a name and a state.
struct Row {
    const char *name;
    int32_t state;
    const char *role = "primary";
};

template <typename Record, typename Make>
Part part_of(Subid group, Subid source, const std::vector<Row> &rows, Make make)
{
    std::vector<Record> records;
    records.reserve(rows.size());  // the pointers stay valid
    std::vector<const void *> pointers;
    pointers.reserve(rows.size());
    for (const Row &r : rows)
        pointers.push_back(&records.emplace_back(make(r)));
    return table_part(group, source, pointers);
}

Part daemons(const std::vector<Row> &rows)
{
    return part_of<KXSDaemon>(kDaemonTable, kDaemonsSource, rows, [](const Row &r) {
        return KXSDaemon{const_cast<char *>(r.name), r.state, 0, 1700000000, 1, nullptr};
    });
}

Part interfaces(const std::vector<Row> &rows)
{
    return part_of<KXSInterface>(kInterfaceTable, kInterfacesSource, rows, [](const Row &r) {
        return KXSInterface{const_cast<char *>(r.name), nullptr, nullptr, r.state, 0, nullptr};
    });
}

Part members(const std::vector<Row> &rows)
{
    return part_of<KXSFOHost>(kFailoverTable, kFailoverSource, rows, [](const Row &r) {
        return KXSFOHost{const_cast<char *>(r.name), const_cast<char *>(r.role), r.state};
    });
}

Part terminals(const std::vector<Row> &rows)
{
    return part_of<KXSDTU>(kMonitoredTable, kMonitoredSource, rows, [](const Row &r) {
        return KXSDTU{const_cast<char *>(r.name), nullptr, r.state, 0, 0, 0.0F,
                      nullptr, nullptr, nullptr, nullptr, nullptr};
    });
}

Part sources_part(const std::vector<Row> &rows)
{
    std::vector<SourceState> states(sources().size());
    for (size_t i = 0; i < rows.size(); ++i)
        states[i].status = static_cast<uint32_t>(rows[i].state);
    return *status_part(states);
}

// "NUMBER ROW": the notification's kxsNotifications number and the row its
// first object names (the position, or the terminal ID).
std::string described(const Notification &n)
{
    std::string row;
    const Oid &oid = n.objects.at(0).oid;
    for (size_t i = 4; i < oid.size(); ++i)
        row += oid[4] > 32 ? std::string(1, static_cast<char>(oid[i]))
                           : (row.empty() ? "" : ".") + std::to_string(oid[i]);
    return std::to_string(n.number) + " " + row;
}

struct Step {
    Part part;
    std::vector<std::string> notified;
    bool partial = false;  // the answer is incomplete
};

// Each change once, nothing for what was first seen, and only the kinds
// turned on (the objects a notification carries are the agent test's).
TEST(AgentNotifications, EachChangeOnceAndNothingForWhatWasFirstSeen)
{
    constexpr int32_t up = 1, down = 2, owned = 1, absent = 2, unowned = 3;
    constexpr int32_t ok = kOk, partial = kPartial, stale = kStale, failed = kFailed;
    const struct {
        const char *what;
        Slot slot;
        std::vector<Step> steps;
        unsigned kinds = kAllKinds;
    } cases[] = {
        {"a daemon, told by name, moved and down, down again, up", Slot::Daemons,
         {{daemons({{"a", up}, {"b", up}}), {}},
          {daemons({{"b", up}, {"a", down}}), {"1 2"}},
          {daemons({{"b", up}, {"a", down}}), {}},
          {daemons({{"b", up}, {"a", up}}), {"2 2"}}}},
        {"a daemon never examined, up, gone, back down; one appearing down", Slot::Daemons,
         {{daemons({{"a", -1}}), {}},
          {daemons({{"a", up}, {"b", down}}), {}},
          {daemons({{"b", down}}), {}},
          {daemons({{"a", down}, {"b", down}}), {}}}},
        {"daemon notifications turned off", Slot::Daemons,
         {{daemons({{"a", up}}), {}}, {daemons({{"a", down}}), {}}},
         kAllKinds & ~bit(Kind::Daemon)},
        {"a link shown up by a partial answer is not believed", Slot::Interfaces,
         {{interfaces({{"eth0", up}}), {}},
          {interfaces({{"eth0", down}}), {"9 1"}},
          {interfaces({{"eth0", up}}), {}, true},
          {interfaces({{"eth0", up}}), {"10 1"}}}},
        {"a terminal shown absent by a partial answer, not believed", Slot::MonitoredFigures,
         {{terminals({{"t1", owned}}), {}},
          {terminals({{"t1", absent}}), {}, true},
          {terminals({{"t1", absent}}), {"6 t1"}},
          {terminals({{"t1", unowned}}), {"7 t1"}, true},
          {terminals({{"t1", owned}}), {"8 t1"}}}},
        {"a member down, then offline, then its role", Slot::Failover,
         {{members({{"m1", up}, {"m2", up, "secondary"}}), {}},
          {members({{"m1", up}, {"m2", down, "secondary"}}), {"3 2"}},
          {members({{"m1", up, "offline primary"}, {"m2", up, "secondary"}}), {"4 2", "5 1"}},
          {members({{"m1", up, "offline primary"}, {"m2", up, "primary"}}), {"5 2"}}}},
        {"a source that fails, goes stale, answers partly", Slot::Sources,
         {{sources_part({{"", kNotGathered}, {"", kNotGathered}}), {}},
          {sources_part({{"", failed}, {"", ok}}), {}},
          {sources_part({{"", failed}, {"", failed}}), {"11 2"}},
          {sources_part({{"", stale}, {"", stale}}), {}},
          {sources_part({{"", partial}, {"", ok}}), {"12 1", "12 2"}},
          {sources_part({{"", ok}, {"", partial}}), {}}}},
    };
    for (const auto &c : cases) {
        Watcher watcher(c.kinds);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            std::vector<Notification> out;
            watcher.see(c.slot, c.steps[i].part, c.steps[i].partial, out);
            std::vector<std::string> seen;
            seen.reserve(out.size());
            for (const Notification &n : out)
                seen.push_back(described(n));
            EXPECT_EQ(seen, c.steps[i].notified) << c.what << ", answer " << i + 1;
        }
    }
}

// DateAndTime bytes as text: "Y-M-D,h:m:s.d,Sh:m" (Y from its two bytes).
std::string shown(const Value &v)
{
    if (!v.present)
        return "absent";
    const auto *b = reinterpret_cast<const unsigned char *>(v.text.data());
    std::string out = std::to_string(b[0] * 256 + b[1]);
    static const char *const before[] = {"", "", "-", "-", ",", ":", ":", ".", ",", "", ":"};
    for (size_t i = 2; i < v.text.size() && i < std::size(before); ++i)
        out += before[i] + (i == 8 ? std::string(1, static_cast<char>(b[i]))
                                   : std::to_string(b[i]));
    return out;
}

// The install date in the server's local time, addresses, roles, and which
// objects exist.
TEST(AgentFigures, ConversionsThatStationsRead)
{
    const struct {
        const char *zone;
        const char *text;
        const char *date;
    } cases[] = {
        {"UTC0", "Nov 21 2026 14:31", "2026-11-21,14:31:0.0,+0:0"},
        {"EST5", "nov 21 2026 09:05", "2026-11-21,9:5:0.0,-5:0"},
        {"IST-5:30", "Jan 2 2027 00:00", "2027-1-2,0:0:0.0,+5:30"},
        {"UTC0", "Feb 31 2026 10:00", "absent"},       // no such day
        {"UTC0", "Nov 21 2026 24:10", "absent"},       // no such hour
        {"UTC0", "21 Nov 2026 14:31", "absent"},
        {"UTC0", "Nov 21 2026 14:31 CET", "absent"},
        {"UTC0", "", "absent"},
        {"UTC0", nullptr, "absent"},
    };
    for (const auto &c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        EXPECT_EQ(shown(install_date(c.text)), c.date)
            << c.zone << " " << (c.text ? c.text : "NULL");
    }
    unsetenv("TZ");
    tzset();
    EXPECT_EQ(shown({0, date_and_time(0), true}), "0-0-0,0:0:0.0");  // never: eight zero bytes

    const struct {
        const char *address;
        uint32_t type;
        size_t bytes;
    } addresses[] = {
        {"192.168.20.1", kInetIpv4, 4}, {"fe80::1", kInetIpv6, 16}, {"192.168.20", kInetUnknown, 0},
        {"", kInetUnknown, 0},          {nullptr, kInetUnknown, 0},
    };
    for (const auto &a : addresses) {
        EXPECT_EQ(inet_type(a.address).number, a.type) << (a.address ? a.address : "NULL");
        EXPECT_EQ(inet_address(a.address).text.size(), a.bytes) << (a.address ? a.address : "NULL");
    }

    // kxsFailoverRole, as KXSMON-MIB enumerates it; that each plain word is
    // its label is the enumerations' test.
    enum : uint32_t { kPrimary = 1, kSecondary, kZeroAdmin, kNoDataSharing, kRoleUnknown };
    const struct {
        const char *role;
        uint32_t value;
    } roles[] = {{"offline secondary", kSecondary}, {"offline ", kRoleUnknown},
                 {"primaryish", kRoleUnknown},      {nullptr, kRoleUnknown}};
    for (const auto &r : roles)
        EXPECT_EQ(role_of(r.role), r.value) << (r.role ? r.role : "NULL");

    const struct {
        Oid suffix;
        bool known;
    } objects[] = {
        {{1, 1, kUpTime, 0}, true},   {{1, 1, kUpTime}, true},   {{1, 1, 13, 0}, false},
        {{1, 6, 1, 13, 65}, true},    {{1, 6, 1, 1, 65}, false},  // the index is not-accessible
        {{1, 7, 1, 12, 65}, true},    {{1, 7, 1, 13, 65}, false}, {{1, 9, 1, 2, 1}, false},
        {{1, 2}, false},              {{1, 2, 2, 2, 1}, false},   {{2, 1, 1}, false},
    };
    for (const auto &o : objects)
        EXPECT_EQ(known_object(o.suffix), o.known) << testing::PrintToString(o.suffix);
}

// The enumeration of `object` in the MIB's text: each label and its number.
std::map<std::string, int32_t> enumeration(const std::string &mib, const std::string &object)
{
    std::map<std::string, int32_t> labels;
    std::smatch found;
    const std::regex syntax(object + R"( OBJECT-TYPE\s+SYNTAX\s+INTEGER\s*\{([^}]*)\})");
    if (!std::regex_search(mib, found, syntax))
        return labels;
    const std::string list = found[1];
    const std::regex label(R"(([a-zA-Z]+)\((-?[0-9]+)\))");
    for (std::sregex_iterator i(list.begin(), list.end(), label), end; i != end; ++i)
        labels[(*i)[1]] = std::stoi((*i)[2]);
    return labels;
}

// The command's word as a MIB label: "no data sharing" is noDataSharing.
std::string label_of(const char *word)
{
    std::string label;
    for (const char *c = word; *c; ++c) {
        if (*c != ' ')
            label += c > word && c[-1] == ' ' ? static_cast<char>(toupper(*c)) : *c;
    }
    return label;
}

TEST(AgentFigures, TheMibsEnumerationsAreTheCommandsStates)
{
    std::ifstream in(KXS_MIB_PATH);
    const std::string mib((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(mib.empty()) << KXS_MIB_PATH;
    namespace f = kxfigures;
    const struct {
        const char *object;
        const kxfigures::States &states;
    } cases[] = {
        {"kxsDaemonStatus", f::daemon_states()}, {"kxsInterfaceStatus", f::link_states()},
        {"kxsFailoverStatus", f::link_states()}, {"kxsFailoverRole", f::roles()},
        {"kxsMonState", f::terminal_states()},
    };
    for (const auto &c : cases) {
        std::map<std::string, int32_t> named;
        for (const kxfigures::Named &n : c.states.named)
            named[label_of(n.word)] = n.number;
        std::map<std::string, int32_t> labels = enumeration(mib, c.object);
        // A value the agent serves for a number the library should not give
        // is one of the MIB's too, when the MIB has it.
        const std::string otherwise = label_of(c.states.otherwise.word);
        if (labels.count(otherwise)) {
            EXPECT_EQ(labels[otherwise], c.states.otherwise.number) << c.object << " " << otherwise;
            named[otherwise] = c.states.otherwise.number;
        }
        EXPECT_EQ(labels, named) << c.object;
    }
}

}  // namespace
