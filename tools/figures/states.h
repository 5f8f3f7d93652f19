// The states and roles of the library's records as every tool of the house
// names them: each number is the library's and the MIB's enumeration value,
// each word the kxsmon command's (in its text, JSON and metrics). The
// command and the agent both take them from here, so that the report and
// the agent's values cannot drift apart.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kxfigures {

struct Named {
    int32_t number;
    const char *word;
};

// The states a record's field may hold, and what any other number is taken for.
struct States {
    std::vector<Named> named;
    Named otherwise;

    const Named &of(int32_t number) const
    {
        for (const Named &n : named)
            if (n.number == number)
                return n;
        return otherwise;
    }
    std::vector<std::string> words() const
    {
        std::vector<std::string> all;
        for (const Named &n : named)
            all.emplace_back(n.word);
        return all;
    }
};

// A daemon's status (kxsDaemonStatus): -1 until it was first examined.
inline const States &daemon_states()
{
    static const States all{{{1, "up"}, {2, "down"}}, {-1, "unknown"}};
    return all;
}

// A failover member's and an interface's status: anything but up is down.
inline const States &link_states()
{
    static const States all{{{1, "up"}, {2, "down"}}, {2, "down"}};
    return all;
}

// A terminal's state (KXS_DTU_OWNED, KXS_DTU_ABSENT, KXS_DTU_UNOWNED).
inline const States &terminal_states()
{
    static const States all{{{1, "owned"}, {2, "absent"}, {3, "unowned"}}, {0, "unknown"}};
    return all;
}

// A member's role in the group's data sharing (kxsFailoverRole), and
// whether the group manager marks it offline: the library gives both in one
// text, the role after "offline ".
inline const States &roles()
{
    static const States all{{{1, "primary"}, {2, "secondary"}, {3, "zero admin"}, {4, "no data sharing"}},
                            {5, "unknown"}};
    return all;
}

struct MemberRole {
    const Named *role;
    bool offline;
};

inline MemberRole member_role(const char *text)
{
    static constexpr char kOffline[] = "offline ";
    const bool offline = text && strncmp(text, kOffline, sizeof kOffline - 1) == 0;
    if (offline)
        text += sizeof kOffline - 1;
    for (const Named &n : roles().named)
        if (text && strcmp(text, n.word) == 0)
            return {&n, offline};
    return {&roles().otherwise, offline};
}

}  // namespace kxfigures
