// The terminal status queries over a failover group whose members answer
// through a scripted transport, and their directory step against a real slapd.
#include "admin.h"
#include "kxsdesktop.h"
#include "kxsinit.h"
#include "ping.h"
#include "slapd_server.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <map>
#include <sstream>

namespace {

using Lines = std::vector<std::string>;

// Replies by host ("g" for "gstatus"); a host without one does not answer.
struct Group : kx::DaemonTransport {
    std::map<std::string, Lines> replies;
    Lines asked;
    Group() { kx::set_daemon_transport(this); }
    ~Group() override { kx::set_daemon_transport(nullptr); }
    kx::DaemonReply ask(const kx::DaemonRequest &r, const kx::LineHandler &onLine) override
    {
        asked.push_back(r.command == "gstatus\n" ? "g" : r.host);
        auto found = replies.find(asked.back());
        for (const auto &line : found == replies.end() ? Lines{} : found->second)
            onLine(line);
        return {found == replies.end() ? kx::Outcome::OpenFailed : kx::Outcome::Complete};
    }
};

// Record blocks from "ID ADDRESS PACKETS LOST CONNECTED" each.
Lines terms(const Lines &specs)
{
    Lines out;
    const char *keys[] = {"terminalId=", "terminalIPA=", "terminalPackets=", "terminalLostPackets=",
                          "terminalConnectTime="};
    for (const auto &spec : specs) {
        out.push_back("begin");
        std::istringstream words(spec);
        std::size_t key = 0;
        for (std::string word; key < std::size(keys) && words >> word;)
            out.push_back(keys[key++] + word);
        out.push_back("end");
    }
    return out;
}

// A handle on "localhost" (the group lookup resolves it) monitoring `ids`.
struct Table {
    KXSHandle h{};
    char host[16] = "localhost";
    explicit Table(const Lines &ids)
    {
        h.hostname = host;
        for (auto at = ids.rbegin(); at != ids.rend(); ++at, ++h.numMonitoredDTUs) {
            auto *node = static_cast<KXSMonitoredDTU *>(calloc(1, sizeof(KXSMonitoredDTU)));
            *node = {strdup(at->c_str()), h.monitoredDTUs};
            h.monitoredDTUs = node;
        }
    }
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;
    ~Table() { kx::kxs_freeDTUMonitored(&h); }
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
                      std::to_string(int((*d)->lossPercent)) + text((*d)->model) + text((*d)->location));
    kxs_freeDTUs(nullptr, dtus);
    return out;
}

TEST(TerminalStatus, MonitoredFromTheLiveMembersInTableOrder)
{
    // m2 is listed before m1; m3 is not trusted; m4 not heard from for over three periods.
    Lines group;
    for (const char *host : {"m2 a 1", "m1 a 1", "m3 a 1", "m4 a 61"})
        group.insert(group.end(), {std::string("host ") + host + " b 2 c 3 d 1 period 20" +
                                       (host[1] == '3' ? "" : " trusted"), "interface e a 1 b 2 c 3 d 4"});
    const Lines m1 = terms({"P1.b i1 5 5", "P1.E m1e 3", "P1.c ic 0 0 60", "P1.d id 1 0 60"}),
                m2 = terms({"P2.e m2e 9"}), others = terms({"P1.f if", "P1.g ig"}),
                own = terms({"P9.a own"}), allAbsent = {"", "A2 - - 0/0/0 - -"};
    const Lines absent = {"B2 - - 0/0/0 - -", "C2 - - 0/0/0 - -", "D2 - - 0/0/0 - -", "E2 - - 0/0/0 - -",
                          "F2 - - 0/0/0 - -", "G2 - - 0/0/0 - -"};
    const struct {
        std::map<std::string, Lines> replies;
        Lines records, asked;
    } cases[] = {
        {{{"g", group}, {"m1", m1}, {"m2", m2}, {"m3", others}, {"m4", others}},
         {"", "A2 - - 0/0/0 - -", "B1 i1 m1 5/5/50 P1 -", "C3 ic m1 0/0/0 P1 -", "D1 id m1 1/0/0 P1 -",
          "E1 m2e m2 9/0/0 P2 -", absent[4], absent[5]},
         {"g", "m2", "m1"}},
        {{{"g", group}, {"localhost", own}}, allAbsent, {"g", "m2", "m1"}},  // no member answers
        {{{"localhost", own}}, {"", "A1 own localhost 0/0/0 P9 -"}, {"g", "localhost"}},
    };
    for (const auto &c : cases) {
        Group g;
        g.replies = c.replies;
        Table table({"A", "B", "C", "D", "E", "F", "G"});
        Lines expected = c.records;
        if (expected.size() == 2)
            expected.insert(expected.end(), absent.begin(), absent.end());
        EXPECT_EQ(summary(kxs_DTUMonitored(&table.h, 60, nullptr)), expected);
        EXPECT_EQ(g.asked, c.asked);
        const Lines exceptions =
            c.replies.count("localhost") ? Lines{"", "a1 own localhost 0/0/0 P9 -"} : Lines{"null"};
        EXPECT_EQ(summary(kxs_DTUException(&table.h, 4, nullptr)), exceptions);
    }
    Group g;
    g.replies["localhost"] = {};
    Table empty(Lines{});
    for (KXSHandle *h : {&empty.h, static_cast<KXSHandle *>(nullptr)})
        EXPECT_EQ(summary(kxs_DTUMonitored(h, 60, nullptr)), Lines{"null"});
    EXPECT_EQ(summary(kxs_DTUException(&empty.h, 60, nullptr)), Lines{""});  // no terminals
}

TEST(TerminalStatus, LocationFromTheDesktopEntryEvenForAnAbsentTerminal)
{
    kxtest::TestRoot root;
    kxtest::SlapdServer server;
    server.add("dn: kxID=B,kxName=desktops,o=kxtest\nobjectClass: kxDesktop\nkxID: B\nkxLocation: hall 3\n");
    root.make_dir("/var/opt/ZARNkx");
    for (const char *db : {"/var/opt/ZARNkx/dstatus", "/var/opt/ZARNkx/ustatus"})
        dbm_close(dbm_open(root.at(db).data(), O_RDWR | O_CREAT, 0664));
    root.write("/etc/opt/ZARNkx/kxadmin.conf",
               "admin.server.name=127.0.0.1\nadmin.server.port=" + std::to_string(server.port()) +
                   "\nadmin.subtree=o=kxtest\nadmin.dstatus.dbfile=/var/opt/ZARNkx/dstatus\n"
                   "admin.ustatus.dbfile=/var/opt/ZARNkx/ustatus\n");
    Group g;
    g.replies["localhost"] = terms({"P1.c ic"});
    // Filter syntax in a monitored ID is a value: it finds no other terminal's entry.
    Table table({"b", "*", "B)(kxID=*", "c"});
    int status = 0;
    table.h.connection = kx::open_connection(kx::KXA_ANONYMOUS, nullptr, nullptr, nullptr, &status);
    ASSERT_NE(table.h.connection, nullptr);
    EXPECT_EQ(summary(kxs_DTUMonitored(&table.h, 60, nullptr)),
              (Lines{"", "b2 - - 0/0/0 - hall 3", "*2 - - 0/0/0 - -", "B)(kxID=*2 - - 0/0/0 - -",
                     "c1 ic localhost 0/0/0 P1 -"}));
    kx::close_connection(static_cast<kx::kxa *>(table.h.connection));
}

}  // namespace
