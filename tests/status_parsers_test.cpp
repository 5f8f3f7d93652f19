// The parsers of the "status" record blocks and of the "gstatus" host
// blocks, fed with block texts as the framing hands them over.
#include "auth_mgr.h"
#include "group_mgr.h"
#include "kxsdt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <strings.h>
#include <string>
#include <vector>

namespace {

// ---- status records ------------------------------------------------------------

// The keys asked for: boot and terminalModel are not among them.
const char *const kSelection = "~terminalCID~terminalId~tokenName~firmware~MultiheadPrimary~"
                               "annotation.x_token~MultiheadTerminalIndex~MultiheadGroupName~";

// Each record as "terminal/token", then its flags, index and other texts.
std::vector<std::string> parse_records(const std::vector<std::string> &blocks, int mode,
                                       const char *filter)
{
    kx::KeyValuesNode *head = nullptr;
    for (const auto &block : blocks)
        kx::parse_record(&head, block.c_str(), mode, kSelection, filter);
    std::vector<std::string> out;
    for (auto *n = head; n; n = n->next) {
        std::string r = std::string(n->terminal_CID) + "/" + n->token_name;
        if (n->flag)
            r += " flag=" + std::to_string(n->flag);
        if (n->MHterm_index != -1)
            r += " index=" + std::to_string(n->MHterm_index);
        for (const char *text : {n->firmware, n->boot, n->model, n->MHgroup_name})
            r += text ? std::string(" ") + text : "";
        out.push_back(r);
    }
    kx::kx_free_KeyValuesNode_list(head);
    return out;
}

TEST(StatusRecord, BlocksGiveSelectedKeysInTheOrderOfTheMode)
{
    const struct {
        std::vector<std::string> blocks;
        int mode;
        const char *filter;
        std::vector<std::string> records;
    } cases[] = {
        // terminalCID wins over terminalId in either order
        {{"terminalId=A\ntokenName=t1\nterminalCID=B\n",
          "terminalCID=C\nterminalId=A\ntokenName=t2", "terminalId=D\ntokenName=t3\n"},
         1, nullptr, {"B/t1", "C/t2", "D/t3"}},
        // a record needs a terminal and a token
        {{"terminalId=A\nfirmware=1.0\n", "tokenName=t\n", "terminalId=A\ntokenName=\n"}, 2,
         nullptr, {}},
        // only selected keys, in their own case
        {{"terminalId=A\ntokenName=t\nboot=x\nfirmware=2.1\nTOKENNAME=other\nterminalModel=P1\n"},
         1, nullptr, {"A/t 2.1"}},
        // flags accumulate; "false" exactly marks a secondary head
        {{"terminalId=A\ntokenName=a\nMultiheadPrimary=False\n",
          "terminalId=B\ntokenName=b\nMultiheadPrimary=false\nannotation.x_token=\n"
          "annotation.x_token=yes\nMultiheadTerminalIndex=3\nMultiheadGroupName=g1\n"},
         2, nullptr, {"A/a", "B/b flag=3 index=3 g1"}},
        // byte order; equal keys in arrival order
        {{"terminalId=b\ntokenName=1", "terminalId=B\ntokenName=2", "terminalId=a\ntokenName=3",
          "terminalId=B\ntokenName=4", "terminalId=A\ntokenName=5"},
         1, nullptr, {"A/5", "B/2", "B/4", "a/3", "b/1"}},
        {{"terminalId=x\ntokenName=m", "terminalId=y\ntokenName=M", "terminalId=z\ntokenName=m"}, 2,
         nullptr, {"y/M", "x/m", "z/m"}},
        {{"terminalId=abc\ntokenName=1", "terminalId=zzz\ntokenName=2"}, 1, "xx abc yy", {"abc/1"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse_records(c.blocks, c.mode, c.filter), c.records) << c.blocks[0];
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

TEST(TerminalList, BlocksGiveTerminalsWithModelAndFilter)
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

    // Records whose texts overflow a segment of the list's store move whole
    // to the next one: every text still belongs to its record.
    Terms many;
    auto cid_of = [](int i) {
        const auto letter = static_cast<char>('a' + i % 26);
        return std::string(static_cast<std::size_t>(100 + i % 400), letter);
    };
    for (int i = 0; i < 600; ++i)
        many.parse("terminalId=m." + std::to_string(100000 + i) + "\nterminalCID=" + cid_of(i) +
                   "\nterminalIPA=" + std::to_string(i) + "\nfirmware=" + std::to_string(i));
    int seenMany = 0;
    for (auto *term = many.link(); term; term = term->next, ++seenMany) {
        ASSERT_EQ(term->terminalId, std::to_string(100000 + seenMany));
        EXPECT_EQ(std::string(term->terminalCID), cid_of(seenMany));
        EXPECT_STREQ(term->terminalIPA, std::to_string(seenMany).c_str());
        EXPECT_STREQ(term->firmware, term->terminalIPA);
        EXPECT_STREQ(term->model, "m");
    }
    EXPECT_EQ(seenMany, 600);

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
        {"010", "8", "0", 8u, 50.0f, false},  // not the plain decimal shortcut
        {"-1", "4294967295", "0", UINT32_MAX, 50.0f, false},
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

// Identifiers order without regard to case, those alike in their first 16
// bytes by the rest, as strcasecmp would; equal ones keep their order of
// arrival.
TEST(TerminalList, IdentifiersOrderAsAStableCaseBlindSort)
{
    const std::vector<std::string> ids = {
        "0123456789abcdefZ",  "0123456789ABCDEFa", "0123456789abcdef",  "0123456789abcdefz",
        "0123456789ABCDEFb",  "0123456789abcdeF",  "0123456789abcdefgX", "0123456789ABCDEFGx",
        "0123456789abcdefg",  "0123456789abcdeE",  "0123456789abcdefZ0", "x",
        "BB",                 "aa",                "bb",                "AA",
        "Bb"};
    std::vector<std::size_t> expected(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i)
        expected[i] = i;
    std::stable_sort(expected.begin(), expected.end(), [&ids](std::size_t a, std::size_t b) {
        return strcasecmp(ids[a].c_str(), ids[b].c_str()) < 0;
    });
    Terms t;
    for (std::size_t i = 0; i < ids.size(); ++i)
        t.parse("terminalId=m." + ids[i] + "\nterminalIPA=" + std::to_string(i));
    std::vector<std::size_t> seen;
    for (auto *term = t.link(); term; term = term->next)
        seen.push_back(std::stoul(term->terminalIPA));
    EXPECT_EQ(seen, expected);
}

// ---- group host blocks -----------------------------------------------------------

// A host as "name flags(TOL) lastseen timeoff addr period start | interfaces".
std::string parse_host(const std::string &block)
{
    kx::HostList *list = nullptr;
    kx::parse_host_entry(&list, block.c_str());
    if (!list)
        return "none";
    const kx::gm_host *h = list->host;
    const kx::gm_hostinfo *i = h->info;
    char text[512];
    int n = snprintf(text, sizeof text, "%s %d%d%d %d %d %x %d %d |", i->name, h->trusted,
                     h->offline, h->lanOk, i->lastseen, i->timeoff, i->hostaddr, i->period,
                     i->starttime);
    for (int k = 0; k < i->numifs; ++k) {
        const kx::gm_interface &f = i->interfaces[k];
        n += snprintf(text + n, sizeof text - n, " %s %x %x %x %d %d", f.ifname, f.ifipaddr,
                      f.ifnetmask, f.ifbcastaddr, f.iflastpkt, f.isLAN);
    }
    kx::free_HostList(list);
    return text;
}

TEST(HostBlock, HostAndInterfaceWordsWithFlagsInAnyOrder)
{
    const std::string oneInterface = "\ninterface e a 1 b 2 c 3 d 4\n";
    const struct {
        std::string block, host;
    } cases[] = {
        {"host alpha seen 12 off -3 addr 7f000002 ifs 2 starttime 1700000000 Lan_Ok LAN period 30 "
         "trusted\ninterface eth0 ip c0a80105 mask ffffff00 bcast c0a801ff last 4 lan\n"
         "interface averyveryverylongname ip 0x0a000001 mask 0xff000000 bcast 0x0affffff last 9\n",
         "alpha 101 12 -3 7f000002 30 1700000000 | eth0 c0a80105 ffffff00 c0a801ff 4 1"
         " averyveryverylo a000001 ff000000 affffff 9 0"},
        // "period" with no word after it; a short interface line is skipped
        {"host beta a 1 b 2 c 0 d 1 OFFLINE period\ninterface short line\n"
         "interface e1 a 1 b 2 c 3 d 4\n",
         "beta 010 1 2 0 20 0 | e1 1 2 3 4 0"},
        {"host too short\n", "none"},
        {"host h a 99999999999 b 2 c fffffffff d 1" + oneInterface,
         "h 000 2147483647 2 ffffffff 20 0 | e 1 2 3 4 0"},
        // interface counts that the block cannot hold give no table
        {"host h a 1 b 2 c 3 d 2" + oneInterface, "h 000 1 2 3 20 0 |"},
        {"host h a 1 b 2 c 3 d 4294967297" + oneInterface, "h 000 1 2 3 20 0 |"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse_host(c.block), c.host) << c.block;
}

TEST(HostBlock, TimedOutWhenOlderThanThreePeriods)
{
    EXPECT_TRUE(kx::isTimedOut(61, 20));
    EXPECT_FALSE(kx::isTimedOut(60, 20));
    EXPECT_TRUE(kx::isTimedOut(-1, 20));
    EXPECT_FALSE(kx::isTimedOut(0, 0));
    EXPECT_FALSE(kx::isTimedOut(5, 1431655766));  // three periods pass 2^32
}

}  // namespace
