#include "notifications.h"

#include <algorithm>
#include <unordered_set>

#include "figures.h"

namespace kxagent {

namespace {

// kxsNotifications numbers.
enum NotificationNumber : Subid {
    kNone = 0, kDaemonDown, kDaemonUp, kMemberDown, kMemberUp, kMemberRoleChange, kTerminalAbsent,
    kTerminalUnowned, kTerminalOwned, kLinkDown, kLinkUp, kSourceFailed, kSourceAnswered
};

// The library's and the MIB's state numbers the changes are made of.
constexpr uint64_t kUp = 1, kDown = 2;
constexpr uint64_t kOwned = 1, kAbsent = 2, kUnowned = 3;

// What each notification is, and the columns of its row it carries.
struct NotificationType {
    Subid number;
    Kind kind;
    std::vector<Subid> objects;
};

const std::vector<NotificationType> &types()
{
    static const auto *all = new std::vector<NotificationType>{
        {kDaemonDown, Kind::Daemon, {kDaemonName, kDaemonStatus, kDaemonInstances, kDaemonChangeTime}},
        {kDaemonUp, Kind::Daemon, {kDaemonName, kDaemonStatus, kDaemonInstances, kDaemonChangeTime}},
        {kMemberDown, Kind::Member, {kFoName, kFoStatus, kFoRole, kFoOffline}},
        {kMemberUp, Kind::Member, {kFoName, kFoStatus, kFoRole, kFoOffline}},
        {kMemberRoleChange, Kind::Member, {kFoName, kFoRole, kFoOffline, kFoStatus}},
        {kTerminalAbsent, Kind::Terminal,
         {kTermState, kTermAddressType, kTermAddress, kTermServer, kTermLocation}},
        {kTerminalUnowned, Kind::Terminal,
         {kTermState, kTermAddressType, kTermAddress, kTermServer, kTermLocation}},
        {kTerminalOwned, Kind::Terminal,
         {kTermState, kTermAddressType, kTermAddress, kTermServer, kTermLocation}},
        {kLinkDown, Kind::Link, {kIfName, kIfStatus, kIfAddressType, kIfAddress}},
        {kLinkUp, Kind::Link, {kIfName, kIfStatus, kIfAddressType, kIfAddress}},
        {kSourceFailed, Kind::Source, {kSourceName, kSourceStatus, kSourceReason, kSourceGathered}},
        {kSourceAnswered, Kind::Source, {kSourceName, kSourceStatus, kSourceReason, kSourceGathered}},
    };
    return *all;
}

NotificationNumber up_or_down(uint64_t before, uint64_t after, NotificationNumber down,
                              NotificationNumber up)
{
    if (before == kUp && after == kDown)
        return down;
    if (before == kDown && after == kUp)
        return up;
    return kNone;  // unknown (-1) on either side is no change of state
}

bool answering(uint64_t status)
{
    return status == kOk || status == kPartial;
}

bool not_answering(uint64_t status)
{
    return status == kStale || status == kFailed;
}

// A watched state: which part, the column that names a row (0: its text
// index), the columns that make its state, and the notification a change
// of it calls for.
struct Watch {
    Slot slot;
    Subid key;
    std::vector<Subid> state;
    NotificationNumber (*change)(uint64_t before, uint64_t after);
    // A state that a partial answer shows when it cannot tell.
    bool (*doubtful)(uint64_t state) = nullptr;
};

const std::vector<Watch> &watches()
{
    static const auto *all = new std::vector<Watch>{
        {Slot::Daemons, kDaemonName, {kDaemonStatus},
         [](uint64_t b, uint64_t a) { return up_or_down(b, a, kDaemonDown, kDaemonUp); }},
        {Slot::Failover, kFoName, {kFoStatus},
         [](uint64_t b, uint64_t a) { return up_or_down(b, a, kMemberDown, kMemberUp); }},
        {Slot::Failover, kFoName, {kFoRole, kFoOffline},
         [](uint64_t b, uint64_t a) { return b != a ? kMemberRoleChange : kNone; }},
        // A terminal on a member that did not answer shows absent.
        {Slot::MonitoredFigures, 0, {kTermState},
         [](uint64_t b, uint64_t a) {
             if (a == b)
                 return kNone;
             return a == kAbsent ? kTerminalAbsent : a == kUnowned ? kTerminalUnowned : kTerminalOwned;
         },
         [](uint64_t s) { return s == kAbsent; }},
        // A link that could not be told shows up.
        {Slot::Interfaces, kIfName, {kIfStatus},
         [](uint64_t b, uint64_t a) { return up_or_down(b, a, kLinkDown, kLinkUp); },
         [](uint64_t s) { return s == kUp; }},
        {Slot::Sources, kSourceName, {kSourceStatus},
         [](uint64_t b, uint64_t a) {
             if (answering(b) && not_answering(a))
                 return kSourceFailed;
             if (not_answering(b) && answering(a))
                 return kSourceAnswered;
             return kNone;
         }},
    };
    return *all;
}

std::string key_of(const Watch &watch, const Part &part, size_t row)
{
    if (watch.key == 0)
        return std::string(part.text_index(row));
    auto cell = part.at(watch.key, row);
    return cell ? std::string(cell->second.text) : std::string();
}

// The state as one number: the state columns' values side by side.
uint64_t state_of(const Watch &watch, const Part &part, size_t row)
{
    uint64_t state = 0;
    for (Subid column : watch.state) {
        auto cell = part.at(column, row);
        state = (state << 32) | (cell ? cell->second.number : 0);
    }
    return state;
}

Notification notification(const NotificationType &type, const Part &part, size_t row)
{
    Notification n{type.number, {}};
    for (Subid column : type.objects)
        if (auto cell = part.at(column, row))
            n.objects.push_back({cell->first, cell->second.type, cell->second.number,
                                 std::string(cell->second.text)});
    return n;
}

}  // namespace

const std::array<KindKeyword, static_cast<size_t>(Kind::Count)> &kind_keywords()
{
    static const std::array<KindKeyword, static_cast<size_t>(Kind::Count)> all = {{
        {Kind::Daemon, "kxsmonDaemonNotifications"},
        {Kind::Member, "kxsmonMemberNotifications"},
        {Kind::Terminal, "kxsmonTerminalNotifications"},
        {Kind::Link, "kxsmonLinkNotifications"},
        {Kind::Source, "kxsmonSourceNotifications"},
    }};
    return all;
}

Watcher::Watcher(unsigned kinds) : kinds_(kinds), known_(watches().size())
{
}

void Watcher::see(Slot slot, const Part &part, bool partial, std::vector<Notification> &out)
{
    for (size_t w = 0; w < watches().size(); ++w) {
        const Watch &watch = watches()[w];
        if (watch.slot != slot)
            continue;
        auto &known = known_[w];
        std::unordered_set<std::string> seen;
        for (size_t row = 0; row < part.rows(); ++row) {
            std::string key = key_of(watch, part, row);
            const uint64_t state = state_of(watch, part, row);
            seen.insert(key);
            auto was = known.find(key);
            if (was == known.end()) {
                known.emplace(std::move(key), state);  // a row's first state: no change
                continue;
            }
            if (was->second == state || (partial && watch.doubtful && watch.doubtful(state)))
                continue;
            const NotificationNumber number = watch.change(was->second, state);
            was->second = state;
            auto type = std::find_if(types().begin(), types().end(),
                                     [&](const NotificationType &t) { return t.number == number; });
            if (type != types().end() && (kinds_ & bit(type->kind)))
                out.push_back(notification(*type, part, row));
        }
        std::erase_if(known, [&](const auto &entry) { return !seen.count(entry.first); });
    }
}

}  // namespace kxagent
