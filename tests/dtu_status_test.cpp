// The terminal status queries over a failover group whose members answer
// through a scripted transport; their directory step against a real slapd.
#include "admin.h"
#include "diagnostics_capture.h"
#include "group_mgr.h"
#include "kxsdesktop.h"
#include "kxsdt.h"
#include "kxsinit.h"
#include "exchange.h"
#include "scripted_transport.h"
#include "slapd_server.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <sstream>
#include <thread>

namespace {

using Lines = std::vector<std::string>;

// Replies by host ("g" for "gstatus"), lines separated by "|"; a host
// without one does not answer.
struct Group : kxtest::ReplayTransport {
    std::map<std::string, std::string> replies;
    Lines asked;
    explicit Group(std::map<std::string, std::string> r) : replies(std::move(r)) {}
    kx::DaemonReply answer(const kx::DaemonRequest &r, kx::ReplySink &sink) override
    {
        asked.push_back(r.command == "gstatus\n" ? "g" : r.host);
        auto found = replies.find(asked.back());
        std::istringstream in(found == replies.end() ? "" : found->second);
        Lines lines;
        for (std::string line; std::getline(in, line, '|');)
            lines.push_back(line);
        kxtest::feed_bytes(sink, kxtest::reply_bytes(lines));
        return {found == replies.end() ? kx::Outcome::OpenFailed : kx::Outcome::Complete};
    }
};

std::string term(const char *id, const char *ipa, const char *more = "")
{
    return std::string("begin|terminalId=") + id + "|terminalIPA=" + ipa + "|" + more + "|end|";
}

// A handle on "localhost" (the group lookup resolves it) monitoring `ids`.
struct Table {
    KXSHandle h{};
    explicit Table(const Lines &ids)
    {
        h.rep.hostname = "localhost";
        h.rep.monitored = ids;
    }
};

// Each record as "id state address server packets/lost/loss model location", released.
Lines summary(KXSDTU **dtus)
{
    Lines out{dtus ? "" : "null"};
    auto text = [](const char *t) { return std::string(" ") + (t ? t : "-"); };
    for (KXSDTU **d = dtus; d && *d; ++d)
        out.push_back((*d)->terminalId + std::to_string((*d)->state) + text((*d)->terminalIPA) +
                      text((*d)->serverName) + " " + std::to_string((*d)->terminalPackets) + "/" +
                      std::to_string((*d)->terminalLostPackets) + "/" +
                      std::to_string(int((*d)->lossPercent)) + text((*d)->model) +
                      text((*d)->location));
    kxs_freeDTUs(nullptr, dtus);
    return out;
}

TEST(TerminalStatus, MonitoredFromTheLiveMembersInTableOrder)
{
    // m2 is listed before m1; m3 is not trusted; m4 not heard from for over three periods.
    std::string group;
    for (const char *host : {"m2 a 1", "m1 a 1", "m3 a 1", "m4 a 61"})
        group += std::string("host ") + host + " b 2 c 3 d 1 period 20" +
                 (host[1] == '3' ? "" : " trusted") + "|interface e a 1 b 2 c 3 d 4|";
    const std::string m1 = term("P1.b", "i1", "terminalPackets=5|terminalLostPackets=5") +
                           term("P1.E", "m1e") + term("P1.c", "ic", "terminalConnectTime=60") +
                           term("P1.d", "id", "terminalConnectTime=60|terminalPackets=1"),
                      m3 = term("P1.f", "if") + term("P1.g", "ig"), own = term("P9.a", "own");
    // "p2.E" is stored whole: the terminal E of model P2; "X.e" names no terminal.
    const Lines ids = {"A", "B", "C", "D", "E", "X.e", "G", "p2.E"};
    Lines none{""};  // no member reports any of them
    for (const std::string &id : ids)
        none.push_back(id + "2 - - 0/0/0 - -");
    Lines alone = none;  // only this server answers
    alone[1] = "A1 own localhost 0/0/0 P9 -";
    const struct {
        std::map<std::string, std::string> replies;
        Lines records, asked;
    } cases[] = {
        {{{"g", group}, {"m1", m1}, {"m2", term("P2.e", "m2e")}, {"m3", m3}, {"m4", m3}},
         {"", none[1], "B1 i1 m1 5/5/50 P1 -", "C3 ic m1 0/0/0 P1 -", "D1 id m1 1/0/0 P1 -",
          "E1 m2e m2 0/0/0 P2 -", none[6], none[7], "p2.E1 m2e m2 0/0/0 P2 -"},
         {"g", "m2", "m1"}},
        // The short ID "E" recurs: "p2.E" is the first terminal of model P2, here on m1.
        {{{"g", group}, {"m1", m1 + term("P2.e", "m1p2")}, {"m2", term("P1.e", "m2e")}},
         {"", none[1], "B1 i1 m1 5/5/50 P1 -", "C3 ic m1 0/0/0 P1 -", "D1 id m1 1/0/0 P1 -",
          "E1 m2e m2 0/0/0 P1 -", none[6], none[7], "p2.E1 m1p2 m1 0/0/0 P2 -"},
         {"g", "m2", "m1"}},
        {{{"g", group}, {"localhost", own}}, none, {"g", "m2", "m1"}},  // no member answers
        {{{"localhost", own}}, alone, {"g", "localhost"}},
    };
    for (const auto &c : cases) {
        Group g(c.replies);
        Table table(ids);
        EXPECT_EQ(summary(kxs_DTUMonitored(&table.h, 60, nullptr)), c.records);
        EXPECT_EQ(g.asked, c.asked);
        // This server's own terminals; none when it does not answer.
        const Lines exceptions = c.replies.count("localhost")
                                     ? Lines{"", "a1 own localhost 0/0/0 P9 -"}
                                     : Lines{"null"};
        EXPECT_EQ(summary(kxs_DTUException(&table.h, 4, nullptr)), exceptions);
    }
    Group g(std::map<std::string, std::string>{{"localhost", ""}});
    Table empty(Lines{});
    for (KXSHandle *h : {&empty.h, static_cast<KXSHandle *>(nullptr)})
        EXPECT_EQ(summary(kxs_DTUMonitored(h, 60, nullptr)), Lines{"null"});
    EXPECT_EQ(summary(kxs_DTUException(&empty.h, 60, nullptr)), Lines{""});  // no terminals
}

// Members m0..m3 that each serve `records` terminals of their own, the
// terminals of `extra` among them, and answer "status" all at once, one line
// of each in turn from the last member on, so that later members' records
// arrive first.
struct Flood : kx::DaemonTransport {
    struct Extra {
        int member, at;
        const char *id, *ipa;
    };
    int records;
    std::vector<Extra> extra;
    Flood(int r, std::vector<Extra> e) : records(r), extra(std::move(e))
    {
        kx::set_daemon_transport(this);
    }
    ~Flood() override { kx::set_daemon_transport(nullptr); }
    static constexpr int kMembers = 4;
    // The lines of member `m`'s record `i`, its extra ones first.
    std::vector<std::string> record(int m, int i) const
    {
        std::vector<std::string> lines;
        auto add = [&lines](const std::string &id, const std::string &ipa) {
            lines.insert(lines.end(), {"begin", "terminalId=" + id, "terminalIPA=" + ipa, "end"});
        };
        for (const Extra &e : extra)
            if (e.member == m && e.at == i)
                add(e.id, e.ipa);
        add("P1.m" + std::to_string(m) + "-" + std::to_string(i), "10.0.0.1");
        return lines;
    }
    void ask_all(const std::vector<kx::DaemonRequest> &requests,
                 const std::vector<kx::ReplySink *> &sinks,
                 std::vector<kx::DaemonReply> &replies) override
    {
        replies.assign(requests.size(), {kx::Outcome::Complete});
        if (requests.size() == 1 && requests[0].command == "gstatus\n") {
            Lines members;
            for (int m = 0; m < kMembers; ++m)
                members.insert(members.end(),
                               {"host m" + std::to_string(m) + " a 1 b 2 c 3 d 1 period 20 trusted",
                                "interface e a 1 b 2 c 3 d 4"});
            kxtest::feed_bytes(*sinks[0], kxtest::reply_bytes(members));
            return;
        }
        for (int i = 0; i < records; ++i)
            for (std::size_t k = sinks.size(); k-- > 0;)
                kxtest::feed_bytes(*sinks[k],
                                   kxtest::reply_bytes(record(std::stoi(requests[k].host + 1), i)));
    }
};

// The monitored query keeps only what it may report: the first record of
// each monitored ID in member order, whichever member answers first, and no
// more for replies ten times as long.
TEST(TerminalStatus, MonitoredQueryHoldsOnlyWhatItCanReport)
{
    const std::vector<Flood::Extra> extra = {
        {1, 5, "P1.shared", "late-member"}, {0, 900, "P1.SHARED", "first-member"},
        {2, 10, "P1.dup", "first"},         {2, 20, "P1.dup", "second"},
        {3, 0, "P7.w", "p7"},               {0, 999, "P1.w", "p1"},
        {1, 3, "P7.w", "p7-earlier-member"},
    };
    const std::vector<const char *> ids = {"shared", "DUP", "p7.W", "w", "absent"};
    const Lines expected = {"", "shared1 first-member m0 0/0/0 P1 -", "DUP1 first m2 0/0/0 P1 -",
                            "p7.W1 p7-earlier-member m1 0/0/0 P7 -", "w1 p1 m0 0/0/0 P1 -",
                            "absent2 - - 0/0/0 - -"};
    std::vector<int> kept;
    for (int records : {1000, 10000}) {
        Flood flood(records, extra);
        Table table(Lines(ids.begin(), ids.end()));
        EXPECT_EQ(summary(kxs_DTUMonitored(&table.h, 60, nullptr)), expected) << records;
        kx::KXSWantedTerms chooser(ids);
        int count = 0;
        kx::HostList *hosts = kx::get_gm_hosts("localhost", &count);
        ASSERT_EQ(count, Flood::kMembers);
        kx::KXSTerm *terms = kx::kxs_get_currentHA_list(nullptr, hosts, &chooser);
        kept.push_back(0);
        for (kx::KXSTerm *t = terms; t; t = t->next)
            ++kept.back();
        kx::kxs_free_linked_list(nullptr, &terms);
        kx::free_HostList(hosts);
    }
    EXPECT_EQ(kept[0], kept[1]);
    EXPECT_LE(kept[0], static_cast<int>(ids.size()) * Flood::kMembers);
}

// A product root whose directory is `server`, with the time-out `seconds`,
// and the anonymous connection to it in `table`'s handle.
void connect_directory(kxtest::TestRoot &root, const kxtest::SlapdServer &server, Table &table,
                       int seconds)
{
    root.make_dir("/var/opt/ZARNkx");
    for (const char *db : {"/var/opt/ZARNkx/dstatus", "/var/opt/ZARNkx/ustatus"})
        dbm_close(dbm_open(root.at(db).data(), O_RDWR | O_CREAT, 0664));
    root.write("/etc/opt/ZARNkx/kxadmin.conf",
               "admin.server.name=127.0.0.1\nadmin.server.port=" + std::to_string(server.port()) +
                   "\nadmin.subtree=o=kxtest\nadmin.dstatus.dbfile=/var/opt/ZARNkx/dstatus\n"
                   "admin.ustatus.dbfile=/var/opt/ZARNkx/ustatus\nadmin.server.timeout=" +
                   std::to_string(seconds) + "\n");
    int status = 0;
    table.h.rep.connection.reset(
        kx::open_connection(kx::KXA_ANONYMOUS, nullptr, nullptr, nullptr, &status));
}

constexpr const char *kDeskB = "dn: kxID=B,kxName=desktops,o=kxtest\nobjectClass: kxDesktop\n"
                               "kxID: B\nkxLocation: hall 3\nkxOtherInfo: rack 7\n";

TEST(TerminalStatus, LocationFromTheDesktopEntryOneTimeOutOnlyWhenTheDirectoryHangs)
{
    kxtest::TestRoot root;
    kxtest::SlapdServer server;
    server.add(kDeskB);
    Group g({{"localhost", term("P1.c", "ic") + term("P2.b", "ib", "terminalCID=x|firmware=4.1")}});
    // Filter syntax in a monitored ID is a value: it finds no other terminal's entry.
    Table table({"b", "*", "B)(kxID=*", "c"});
    connect_directory(root, server, table, 1);
    ASSERT_NE(table.h.rep.connection, nullptr);
    Lines records{"", "b1 ib localhost 0/0/0 P2 hall 3", "*2 - - 0/0/0 - -",
                  "B)(kxID=*2 - - 0/0/0 - -", "c1 ic localhost 0/0/0 P1 -"};
    EXPECT_EQ(summary(kxs_DTUMonitored(&table.h, 60, nullptr)), records);
    // Every terminal of the server, its entry's texts with the reply's.
    KXSDTU **all = kxs_DTUException(&table.h, 60, nullptr);
    ASSERT_NE(all, nullptr);
    ASSERT_NE(all[0], nullptr);
    EXPECT_STREQ(all[0]->firmware, "4.1");
    EXPECT_STREQ(all[0]->otherInfo, "rack 7");
    EXPECT_EQ(summary(all), (Lines{"", records[1], records[4]}));
    // A directory that stops answering costs one time-out per query, not one per terminal.
    server.pause();
    kxtest::DiagnosticsCapture log;
    const auto start = kx::Clock::now();
    records[1] = "b1 ib localhost 0/0/0 P2 -";
    EXPECT_EQ(summary(kxs_DTUMonitored(&table.h, 60, nullptr)), records);
    EXPECT_LT(kx::Clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(log.contains("kxs_DTUMonitored(): the directory does not answer")) << log.all();

    // One that answers late, yet within its time-out, has answered: the
    // terminals after the slow lookup still get their location.
    server.resume();
    connect_directory(root, server, table, 6);
    ASSERT_NE(table.h.rep.connection, nullptr);
    table.h.rep.monitored = {"absent", "b"};
    server.pause();
    std::thread late([&server] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5700));  // 95 % of the time-out
        server.resume();
    });
    log.clear();
    EXPECT_EQ(summary(kxs_DTUMonitored(&table.h, 60, nullptr)),
              (Lines{"", "absent2 - - 0/0/0 - -", "b1 ib localhost 0/0/0 P2 hall 3"}));
    late.join();
    EXPECT_FALSE(log.contains("the directory does not answer")) << log.all();
    kx::DStimeout = 10;
}

}  // namespace
