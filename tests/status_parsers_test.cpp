// The parsers of the "status" record blocks and of the "gstatus" host
// blocks, fed with block texts as the framing hands them over.
#include "auth_mgr.h"
#include "group_mgr.h"
#include "kxsdt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- status records ------------------------------------------------------------

const char *const kDesktopsFields[] = {"terminalCID", nullptr};
const char *const kUsersFields[] = {"MultiheadGroupName", "MultiheadPrimary", nullptr};

std::string selection_for(const char *const *names)
{
    std::string s = "~terminalCID~terminalId~tokenName~firmware~";
    for (; *names; ++names)
        s += std::string(*names) + "~";
    return s;
}

struct Records {
    kx::KeyValuesNode *head = nullptr;
    ~Records() { kx::kx_free_KeyValuesNode_list(head); }
    void parse(const std::string &block, int mode, const char *const *fields,
               const char *filter = nullptr)
    {
        kx::parse_record(&head, block.c_str(), mode, selection_for(fields).c_str(), filter);
    }
    std::vector<std::string> tokens() const
    {
        std::vector<std::string> out;
        for (auto *n = head; n; n = n->next)
            out.push_back(std::string(n->terminal_CID) + "/" + n->token_name);
        return out;
    }
};

TEST(StatusRecord, TerminalCidWinsOverTerminalIdInEitherOrder)
{
    Records r;
    r.parse("terminalId=A\ntokenName=t1\nterminalCID=B\n", 1, kDesktopsFields);
    r.parse("terminalCID=C\nterminalId=A\ntokenName=t2", 1, kDesktopsFields);
    r.parse("terminalId=D\ntokenName=t3\n", 1, kDesktopsFields);
    EXPECT_EQ(r.tokens(), (std::vector<std::string>{"B/t1", "C/t2", "D/t3"}));
}

TEST(StatusRecord, ARecordNeedsATerminalAndATokenInBothModes)
{
    for (int mode : {1, 2}) {
        Records r;
        r.parse("terminalId=A\nfirmware=1.0\n", mode, kUsersFields);
        r.parse("tokenName=t\n", mode, kUsersFields);
        r.parse("terminalId=A\ntokenName=\n", mode, kUsersFields);
        EXPECT_EQ(r.head, nullptr) << "mode " << mode;
    }
}

TEST(StatusRecord, OnlySelectedKeysInTheirOwnCaseAreStored)
{
    Records r;
    r.parse("terminalId=A\ntokenName=t\nboot=x\nfirmware=2.1\nTOKENNAME=other\nterminalModel=P1\n",
            1, kDesktopsFields);
    ASSERT_NE(r.head, nullptr);
    EXPECT_EQ(r.head->boot, nullptr);
    EXPECT_EQ(r.head->model, nullptr);
    EXPECT_STREQ(r.head->firmware, "2.1");
    EXPECT_STREQ(r.head->token_name, "t");
    EXPECT_EQ(r.head->MHterm_index, -1);
}

TEST(StatusRecord, MultiheadFlagsAccumulateAndNeedAnExactFalse)
{
    const char *const fields[] = {"MultiheadPrimary", "annotation.x_token", "MultiheadTerminalIndex",
                                  "MultiheadGroupName", nullptr};
    Records r;
    r.parse("terminalId=A\ntokenName=a\nMultiheadPrimary=False\n", 2, fields);
    r.parse("terminalId=B\ntokenName=b\nMultiheadPrimary=false\nannotation.x_token=\n"
            "annotation.x_token=yes\nMultiheadTerminalIndex=3\nMultiheadGroupName=g1\n",
            2, fields);
    ASSERT_NE(r.head, nullptr);
    ASSERT_NE(r.head->next, nullptr);
    EXPECT_EQ(r.head->flag, 0u);
    EXPECT_EQ(r.head->next->flag, kx::kSecondaryHead | kx::kXToken);
    EXPECT_EQ(r.head->next->MHterm_index, 3);
    EXPECT_STREQ(r.head->next->MHgroup_name, "g1");
}

TEST(StatusRecord, SortModesAreBytewiseAndKeepArrivalOrderForEqualKeys)
{
    Records byTerminal;
    for (const char *block : {"terminalId=b\ntokenName=1", "terminalId=B\ntokenName=2",
                              "terminalId=a\ntokenName=3", "terminalId=B\ntokenName=4",
                              "terminalId=A\ntokenName=5"})
        byTerminal.parse(block, 1, kDesktopsFields);
    EXPECT_EQ(byTerminal.tokens(),
              (std::vector<std::string>{"A/5", "B/2", "B/4", "a/3", "b/1"}));

    Records byToken;
    for (const char *block : {"terminalId=x\ntokenName=m", "terminalId=y\ntokenName=M",
                              "terminalId=z\ntokenName=m"})
        byToken.parse(block, 2, kUsersFields);
    EXPECT_EQ(byToken.tokens(), (std::vector<std::string>{"y/M", "x/m", "z/m"}));
}

TEST(StatusRecord, FilterKeepsTerminalsNamedInIt)
{
    Records r;
    r.parse("terminalId=abc\ntokenName=1", 1, kDesktopsFields, "xx abc yy");
    r.parse("terminalId=zzz\ntokenName=2", 1, kDesktopsFields, "xx abc yy");
    EXPECT_EQ(r.tokens(), (std::vector<std::string>{"abc/1"}));
}

// ---- terminal status list --------------------------------------------------------

struct Terms {
    kx::KXSTermList pending;
    kx::KXSTerm *head = nullptr;
    ~Terms() { kx::kxs_free_linked_list(nullptr, &head); }
    void parse(const std::string &block, const char *filter = nullptr)
    {
        kx::kxs_parse_entry(nullptr, pending, block.c_str(), filter);
    }
    kx::KXSTerm *link() { return head = kx::kxs_link_list(pending); }
    std::vector<std::string> ids(bool withModel = false)
    {
        std::vector<std::string> out;
        for (auto *t = link(); t; t = t->next)
            out.push_back(withModel ? std::string(t->model) + "|" + t->terminalId : t->terminalId);
        return out;
    }
};

TEST(TerminalList, BlocksGiveTerminalsWithModelOrderAndFilter)
{
    Terms t;
    t.parse("terminalId=P1.080020abcdef\nterminalIPA=10.0.0.5\nterminalCID=cid\nfirmware=4.1");
    t.parse("terminalId=a.b.c\nterminalIPA=10.0.0.6");
    t.parse("terminalId=plain\nterminalIPA=10.0.0.7");
    t.parse("terminalId=P1.1\nterminalCID=x\nfirmware=1\nterminalPackets=5\nterminalIPA=");
    t.parse("terminalIPA=1.2.3.4\nfirmware=1");
    EXPECT_EQ(t.ids(true), (std::vector<std::string>{"P1|080020abcdef", "a.b|c", "|plain"}));
    EXPECT_STREQ(t.head->terminalCID, "cid");
    EXPECT_STREQ(t.head->firmware, "4.1");
    EXPECT_EQ(t.head->next->terminalCID, nullptr);

    Terms order;  // without regard to case; equal identifiers in arrival order
    int n = 0;
    for (const char *id : {"m.BB", "m.aa", "m.bb", "m.AA", "m.Bb"})
        order.parse(std::string("terminalId=") + id + "\nterminalIPA=" + std::to_string(n++));
    std::vector<std::string> seen;
    for (auto *term = order.link(); term; term = term->next)
        seen.push_back(std::string(term->terminalId) + term->terminalIPA);
    EXPECT_EQ(seen, (std::vector<std::string>{"aa1", "AA3", "BB0", "bb2", "Bb4"}));

    Terms filtered;  // the filter looks at the short identifier
    filtered.parse("terminalId=P1.0800abcd\nterminalIPA=i", "abc");
    filtered.parse("terminalId=abc.0800\nterminalIPA=i", "abc");
    EXPECT_EQ(filtered.ids(), std::vector<std::string>{"0800abcd"});
}

TEST(TerminalList, FiguresSaturateAndGiveLossAndOwnership)
{
    const struct {
        const char *packets, *lost, *connected;
        uint32_t readPackets;
        float loss;
        bool unowned;  // with a limit of 60 seconds
    } cases[] = {
        {"900", "100", "60", 900u, 10.0f, false},
        {"0", "0", "60", 0u, 0.0f, true},
        {"0", "0", "59", 0u, 0.0f, false},
        {"0x10", "0", "0", 16u, 0.0f, false},
        {"010", "8", "0", 8u, 50.0f, false},
        {"999999999", "0", "0", 999999999u, 0.0f, false},
        {"-1", "4294967295", "0", UINT32_MAX, 50.0f, false},
        {"12abc", "0", "0", 12u, 0.0f, false},
        {"\v5", "0", "0", 5u, 0.0f, false},
        {"x", "0", "60", 0u, 0.0f, true},
        // A counter past 32 bits stays large: a busy terminal is not unowned.
        {"4294967296", "0", "60", UINT32_MAX, 0.0f, false},
        {"0", "0", "0x100000000", 0u, 0.0f, true},
    };
    for (const auto &c : cases) {
        Terms t;
        t.parse(std::string("terminalId=m.a\nterminalIPA=i\nterminalPackets=") + c.packets +
                "\nterminalLostPackets=" + c.lost + "\nterminalConnectTime=" + c.connected);
        const kx::KXSTerm *term = t.link();
        ASSERT_NE(term, nullptr) << c.packets;
        EXPECT_EQ(term->terminalPackets, c.readPackets) << c.packets;
        EXPECT_FLOAT_EQ(term->lossPercent, c.loss) << c.packets;
        EXPECT_EQ(kx::kxs_term_unowned(term, 60), c.unowned) << c.packets << " " << c.connected;
    }
}

// ---- group host blocks -----------------------------------------------------------

struct Hosts {
    kx::HostList *head = nullptr;
    ~Hosts() { kx::free_HostList(head); }
    kx::gm_host *parse(const std::string &block)
    {
        kx::parse_host_entry(&head, block.c_str());
        kx::HostList *last = head;
        while (last && last->next)
            last = last->next;
        return last ? last->host : nullptr;
    }
};

TEST(HostBlock, HostAndInterfaceWordsWithFlagsInAnyOrder)
{
    Hosts h;
    auto *host = h.parse(
        "host alpha seen 12 off -3 addr 7f000002 ifs 2 starttime 1700000000 Lan_Ok LAN "
        "period 30 trusted\n"
        "interface eth0 ip c0a80105 mask ffffff00 bcast c0a801ff last 4 lan\n"
        "interface averyveryverylongname ip 0x0a000001 mask 0xff000000 bcast 0x0affffff last 9\n");
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->trusted, 1);
    EXPECT_EQ(host->lanOk, 1);
    EXPECT_EQ(host->offline, 0);
    EXPECT_STREQ(host->info->name, "alpha");
    EXPECT_EQ(host->info->lastseen, 12);
    EXPECT_EQ(host->info->timeoff, -3);
    EXPECT_EQ(host->info->hostaddr, 0x7f000002u);
    EXPECT_EQ(host->info->period, 30);
    EXPECT_EQ(host->info->starttime, 1700000000);
    ASSERT_EQ(host->info->numifs, 2);
    const auto &eth0 = host->info->interfaces[0];
    EXPECT_STREQ(eth0.ifname, "eth0");
    EXPECT_EQ(eth0.ifipaddr, 0xc0a80105u);
    EXPECT_EQ(eth0.ifnetmask, 0xffffff00u);
    EXPECT_EQ(eth0.ifbcastaddr, 0xc0a801ffu);
    EXPECT_EQ(eth0.iflastpkt, 4);
    EXPECT_EQ(eth0.isLAN, 1);
    const auto &second = host->info->interfaces[1];
    EXPECT_STREQ(second.ifname, "averyveryverylo");
    EXPECT_EQ(second.ifbcastaddr, 0x0affffffu);
    EXPECT_EQ(second.isLAN, 0);
}

TEST(HostBlock, DefaultsAndShortLines)
{
    Hosts h;
    auto *host = h.parse("host beta a 1 b 2 c 0 d 1 OFFLINE period\n"
                         "interface short line\n"
                         "interface e1 a 1 b 2 c 3 d 4\n");
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->info->period, 20);  // "period" with no word after it
    EXPECT_EQ(host->info->starttime, 0);
    EXPECT_EQ(host->offline, 1);
    ASSERT_EQ(host->info->numifs, 1);
    EXPECT_STREQ(host->info->interfaces[0].ifname, "e1");
    EXPECT_EQ(h.parse("host too short\n"), host);  // no new host
}

TEST(HostBlock, InterfaceCountsTheBlockCannotHoldGetNoTable)
{
    Hosts h;
    // Two announced, one there; then counts no block can hold.
    for (const char *count : {"2", "-5", "73", "2147483647", "-2147483648", "4294967297"}) {
        auto *host = h.parse(std::string("host h a 1 b 2 c 3 d ") + count +
                             "\ninterface e a 1 b 2 c 3 d 4\n");
        ASSERT_NE(host, nullptr) << count;
        EXPECT_EQ(host->info->numifs, 0) << count;
        EXPECT_EQ(host->info->interfaces, nullptr) << count;
    }
}

TEST(HostBlock, TimedOutWhenOlderThanThreePeriods)
{
    EXPECT_TRUE(kx::isTimedOut(61, 20));
    EXPECT_FALSE(kx::isTimedOut(60, 20));
    EXPECT_TRUE(kx::isTimedOut(-1, 20));
    EXPECT_FALSE(kx::isTimedOut(0, 0));
}

}  // namespace
