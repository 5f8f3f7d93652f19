// Sessions from real files under a test root, scripted "status" records and
// the host's real process table, and the counts made of them.
#include "diagnostics_capture.h"
#include "kxerrno.h"
#include "processes.h"
#include "scripted_transport.h"
#include "test_root.h"
#include "user_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

using kx::UserSessionEnt;
using kxtest::TestRoot;

// A session process file only with a uid.
struct Session {
    std::string display, token, uid{}, pid = std::to_string(getpid());
    bool idle = false, stale = false;
};

void lay_out(const TestRoot &root, const std::vector<Session> &sessions)
{
    for (const char *dir : {kx::kDisplayDir, kx::kSessionProcDir, kx::kIdleDir})
        root.make_dir(dir);
    for (const Session &s : sessions) {
        root.write(kx::kDisplayDir + s.display, "TOKEN=" + s.token + "\nINSERT_TOKEN=i\nDISPLAY=" +
                                                    s.display + "\nTOKEN_SET=s\nSESSION_TYPE=t\n");
        if (!s.uid.empty()) {
            std::string proc = root.write(kx::kSessionProcDir + s.display,
                                          "XID=" + s.display + "\nuid=" + s.uid + "\npid=" + s.pid +
                                              "\nprogram=Xsession\n");
            if (s.stale)
                std::filesystem::last_write_time(
                    proc, std::filesystem::last_write_time(proc) - std::chrono::hours(1));
        }
        if (s.idle)
            root.write(std::string(kx::kIdleDir) + s.display + ".pid", "1\n");
    }
}

// One whole enumeration: set's result, the entries by display and their
// tokens in the order they were handed out.
struct Enumeration {
    int result;
    std::map<std::string, std::shared_ptr<UserSessionEnt>> entries;
    std::string tokens;
};

Enumeration enumerate()
{
    Enumeration out{kx::kx_setUserSessionEnt(nullptr, nullptr), {}, ""};
    UserSessionEnt *e = nullptr;
    while (kx::kx_getUserSessionEnt(&e) == 0) {
        out.tokens += e->token;
        out.entries[e->display] = {e, kx::kx_freeUserSessionEnt};
    }
    if (out.result == 0) {
        EXPECT_EQ(kx::kx_getUserSessionEnt(&e), KX_ENOMORE);
    }
    kx::kx_endUserSessionEnt();
    EXPECT_EQ(kx::kx_getUserSessionEnt(&e), KX_ESEQUENCE);
    return out;
}

std::string text(const char *t) { return t ? t : "(null)"; }

// No session, or no display directory: both counts 0, and each call says
// why. What real sessions count is the CLI test's.
TEST(SessionCounts, NoneAndWhy)
{
    for (const bool displayDir : {true, false}) {
        TestRoot root;
        root.lay_out_minimal_product();
        if (displayDir)
            lay_out(root, {});
        kxtest::ScriptedTransport transport;
        kxtest::Handle handle(kxs_init());
        ASSERT_TRUE(handle);
        kxtest::DiagnosticsCapture log;
        EXPECT_EQ(kxs_totalSessions(handle.get()), 0);
        EXPECT_EQ(kxs_sessions(handle.get()), 0);
        const std::string why = std::string("kxs_countSessions(): ") +
                                (displayDir ? "kx_setUserSessionEnt failed: -4"
                                            : "Can not open display directory");
        const auto &lines = log.lines();
        const auto says = [&](const auto &l) { return l.text.find(why) != std::string::npos; };
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), says), 2) << log.all();
    }
}

TEST(SessionEnumeration, TakesTheUnitsOfTheSessionsToken)
{
    using Lines = std::vector<std::string>;
    // A head of the group g; `down` its authenticateDownType line, or another.
    auto head = [](int index, const char *primary, const char *down) {
        const std::string n = std::to_string(index);
        return Lines{"tokenName=a", "terminalCID=h" + n, "MultiheadGroupName=g",
                     "MultiheadTerminalIndex=" + n, std::string("MultiheadPrimary=") + primary,
                     "encryptUpType=e" + n, "encryptDownType=x", "authenticateUpType=y", down,
                     "securityMode=m"};
    };
    const char *z = "authenticateDownType=z";
    const struct {
        std::vector<Lines> records;
        int result;
        const char *fields;  // the five values, primary, terminals, group, state
    } cases[] = {
        {{{"tokenName=a", "terminalCID=P1", "encryptUpType=ARCFOUR", "securityMode=hard"}}, 0,
         "ARCFOUR none none none hard (null) P1 (null) 0"},
        {{head(2, "false", z), head(0, "true", z), head(1, "false", "terminalModel=t")}, 0,
         "e0,e1,e2 x,x,x y,y,y z,none,z m,m,m h0 h0,h1,h2 g 0"},
        {{head(64, "true", z)}, -1, ""},
    };
    for (const auto &c : cases) {
        TestRoot root;
        lay_out(root, {{":1", "ZeroAdmin.xx.a"}});
        kxtest::ScriptedTransport transport;
        transport.lines = kxtest::status_blocks(c.records);
        const Enumeration all = enumerate();
        ASSERT_EQ(all.result, c.result) << c.fields;
        if (all.result != 0)
            continue;
        const UserSessionEnt &e = *all.entries.at(":1");
        EXPECT_EQ(text(e.encryptUpType) + " " + text(e.encryptDownType) + " " +
                      text(e.authenticateUpType) + " " + text(e.authenticateDownType) + " " +
                      text(e.securityMode) + " " + text(e.termPrimary) + " " + text(e.termList) +
                      " " + text(e.multiheadGroupName) + " " + std::to_string(e.state),
                  c.fields);
    }
}

// Entries handed out once each, by token (display order is another), each
// with its user and process state from its session files and the process
// table; a display name that makes its path too long is skipped, not cut.
TEST(SessionEnumeration, HandsOutEntriesByTokenWithTheirUsersAndStates)
{
    TestRoot root;
    EXPECT_EQ(kx::kx_setUserSessionEnt(nullptr, nullptr), KX_EFILEACCESS);
    lay_out(root, {});
    EXPECT_EQ(kx::kx_setUserSessionEnt(nullptr, nullptr), KX_ENOTFOUND);
    UserSessionEnt *e = nullptr;
    EXPECT_EQ(kx::kx_getUserSessionEnt(&e), KX_ESEQUENCE);

    kxtest::NamedProcess stopped(kxtest::unique_name("kxsess"), {"60"});
    ASSERT_EQ(kill(stopped.pid(), SIGSTOP), 0);
    stopped.wait_until(WSTOPPED);
    const struct {
        Session session;
        const char *uid;
        int32_t state;
    } cases[] = {
        {{":1", "c", "0"}, "root", 1},
        {{":3", "ZeroAdmin.xx.a", "0", std::to_string(getpid()), false, true}, "(null)", 1},
        {{":4", "d", "0", std::to_string(getpid()), true}, "(null)", 3},
        {{":5", "b", "0", stopped.pid_text()}, "root", 5},
    };
    std::vector<Session> sessions{{std::string(80, 'x'), "z"}};
    for (const auto &c : cases)
        sessions.push_back(c.session);
    lay_out(root, sessions);
    kxtest::ScriptedTransport transport;
    kxtest::DiagnosticsCapture log;
    const Enumeration all = enumerate();
    ASSERT_EQ(all.result, 0);
    EXPECT_TRUE(log.contains("too long")) << log.all();
    EXPECT_EQ(all.tokens, "abcd");
    for (const auto &c : cases) {
        const UserSessionEnt &entry = *all.entries.at(c.session.display);
        EXPECT_EQ(text(entry.uid), c.uid) << c.session.display;
        EXPECT_EQ(entry.state, c.state) << c.session.display;
    }
    kill(stopped.pid(), SIGCONT);
}

TEST(SessionFiles, ParseTheirLines)
{
    UserSessionEnt *e = nullptr;
    char *set = nullptr;
    const std::string head = "TOKEN=a\nINSERT_TOKEN=b\nDISPLAY=:1\n";
    EXPECT_EQ(kx::parse_display_text(head + "SESSION_TYPE=t\n", &e, &set), KX_ENOENT);
    ASSERT_EQ(kx::parse_display_text(head + "TOKEN_SET=s\nSESSION_TYPE=ty", &e, &set), 0);
    EXPECT_STREQ(e->sessionType, "t");  // a last line without newline loses its last character
    kx::kx_freeUserSessionEnt(e);
    free(set);
    kx::SessionProc proc;
    EXPECT_EQ(kx::parse_session_text("XID=:1\nuid=  \npid=5\nprogram=p\n", proc), 0);
    EXPECT_EQ(proc.uid + proc.pid + proc.program, "5p");

    kx::PsEntry entry;
    EXPECT_EQ(kx::parse_ps_entry("12 S 0", entry), -1);
    ASSERT_EQ(kx::parse_ps_entry("  4711 T  1000 sleep\n", entry), 0);
    EXPECT_EQ(entry.pid + " " + std::to_string(entry.state) + " " + entry.uid + " " + entry.comm,
              "4711 4 1000 sleep");
}

// Many sessions over a long reply: each finds its own record, in a list in
// token order or any other, and the merge costs O((n + m) log m) token
// comparisons rather than a walk of the records per session.
TEST(SessionEnumeration, ManySessionsFindTheirRecordsInALongReply)
{
    constexpr int kSessions = 2000, kRecords = 200000;
    std::vector<std::string> tokens, cids;
    for (int k = 0; k < kRecords; ++k) {
        tokens.push_back("t" + std::to_string(1000000 + k));  // in token order
        cids.push_back("c" + std::to_string(k));
    }
    std::vector<kx::KeyValuesNode> records(kRecords);
    for (bool reversed : {false, true}) {
        for (int k = 0; k < kRecords; ++k) {
            const int at = reversed ? kRecords - 1 - k : k;
            records[at].token_name = tokens[k].data();
            records[at].terminal_CID = cids[k].data();
            records[at].next = at + 1 < kRecords ? &records[at + 1] : nullptr;
        }
        kx::SessionList sessions;
        for (std::size_t i = 0; i < kSessions; ++i) {
            UserSessionEnt *e = kx::allocate_userSession();
            e->token = strdup(((i % 2 ? "ZeroAdmin.xx." : "") + tokens[97 * i]).c_str());
            e->display = strdup(":0");
            sessions.push_back(e);
        }
        const std::size_t before = kx::merge_token_comparisons();
        EXPECT_EQ(kx::merge_records(sessions, records.data()), 0);
        const std::size_t comparisons = kx::merge_token_comparisons() - before;
        EXPECT_LT(comparisons, (reversed ? std::size_t{20} : std::size_t{2}) * kRecords +
                                   std::size_t{64} * kSessions);
        int found = 0;
        for (std::size_t i = 0; i < kSessions; ++i) {
            found += sessions[i]->state == 0 && text(sessions[i]->termList) == cids[97 * i];
            kx::kx_freeUserSessionEnt(sessions[i]);
        }
        EXPECT_EQ(found, kSessions) << (reversed ? "reversed" : "in order");
    }
}

// Two threads enumerate over and over through the one process-wide cursor:
// each entry handed out is whole and one of the sessions, and no more come
// out than the sets made (not in order: a walk may cross the other's set).
TEST(SessionEnumeration, ConcurrentEnumerationsSeeWholeCaches)
{
    TestRoot root;
    lay_out(root, {{":1", "a"}, {":2", "b"}, {":3", "c"}, {":4", "d"}});
    kxtest::ScriptedTransport transport;
    transport.lines = kxtest::status_blocks({{"terminalCID=P1", "tokenName=a"}});
    constexpr int kRounds = 15;
    std::atomic<int> broken{0}, handedOut{0};
    auto rounds = [&broken, &handedOut] {
        for (int round = 0; round < kRounds; ++round) {
            if (kx::kx_setUserSessionEnt(nullptr, nullptr) != 0)
                ++broken;
            UserSessionEnt *e = nullptr;
            while (kx::kx_getUserSessionEnt(&e) == 0) {
                const std::string token = e->token ? e->token : "";
                if (!e->display || !e->server || token.size() != 1 || token < "a" || token > "d")
                    ++broken;
                ++handedOut;
                kx::kx_freeUserSessionEnt(e);
            }
            kx::kx_endUserSessionEnt();
        }
    };
    std::thread other(rounds);
    rounds();
    other.join();
    EXPECT_EQ(broken, 0);
    EXPECT_LE(handedOut, 4 * 2 * kRounds);  // four sessions a set, each handed out once
}

}  // namespace
