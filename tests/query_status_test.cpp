// What every query says when a source it needs hangs, refuses or answers
// nonsense: the documented result, and beside it kxs_lastError and
// kxs_lastErrorText. The daemons are scripted behind the transport's seam;
// the handle's memory of a daemon that did not answer is tested against a
// real socket in the network sandbox.
#include "fake_daemon.h"
#include "kxsinit.h"
#include "exchange.h"
#include "scripted_transport.h"
#include "test_root.h"
#include "user_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using kx::Outcome;
using kxtest::CommandTransport;
using kxtest::Script;
using kxtest::healthy_server;
using namespace std::chrono_literals;

// The ways a daemon lets a query down, and what the query must then say.
struct Fault {
    const char *name;
    Script script;
    int code;
    const char *says;  // in the text
};
const Fault kFaults[] = {
    {"hung", {Outcome::TimedOut, 0, {}}, KXS_ETIMEDOUT, "did not answer within"},
    {"refused", {Outcome::OpenFailed, ECONNREFUSED, {}}, KXS_EREFUSED, "refused the connection"},
    {"gone", {Outcome::Unreachable, 0, {}}, KXS_ETIMEDOUT, "did not answer the reachability probe"},
    {"lying", {Outcome::Complete, 0, {"hello there", "ERR nothing here"}}, KXS_EREPLY, ""},
};

// What a query makes of a command that fails.
enum class Without {
    Fails,      // its failure result, and the fault's code
    Partial,    // an answer from what the others gave, and KXS_EPARTIAL
    Unaffected, // its whole answer: the figure does not depend on it
};

// One query, run on a handle: whether its result is the documented one for
// a failure of its sources.
struct Query {
    const char *name;
    std::vector<std::string> needs;  // the commands it asks
    std::function<bool(KXSHandle *)> gaveFailureResult;
    Without without = Without::Fails;  // when needs[0] fails; any other command fails it
};

template <class List, class Free> bool null_list(List *list, Free release)
{
    bool null = list == nullptr;
    release(nullptr, list);
    return null;
}

const Query kQueries[] = {
    {"kxs_users", {"status\n"}, [](KXSHandle *h) { return kxs_users(h) == 0; }},
    {"kxs_desktops", {"status\n"}, [](KXSHandle *h) { return kxs_desktops(h) == 0; }},
    {"kxs_upTime", {"smstatus\n", "amstatus\n"}, [](KXSHandle *h) { return kxs_upTime(h) == 0; }},
    {"kxs_DTUException", {"status\n"},
     [](KXSHandle *h) { return null_list(kxs_DTUException(h, 60, nullptr), kxs_freeDTUs); }},
    {"kxs_DTUMonitored", {"gstatus\n", "status\n"},
     [](KXSHandle *h) {
         // Documented: every monitored terminal still comes back, absent.
         KXSDTU **dtus = kxs_DTUMonitored(h, 60, nullptr);
         bool absent = dtus && dtus[0] && dtus[0]->state == KXS_DTU_ABSENT;
         kxs_freeDTUs(h, dtus);
         return absent;
     },
     Without::Partial},  // without the group, this server's own list answers
    // The authentication manager tells which sessions a unit shows; the
    // number of sessions does not need it.
    {"kxs_sessions", {"status\n"}, [](KXSHandle *h) { return kxs_sessions(h) == 0; }},
    {"kxs_totalSessions", {"status\n"}, [](KXSHandle *h) { return kxs_totalSessions(h) != 1; },
     Without::Unaffected},
    {"kxs_FOGroup", {"gstatus\n"},
     [](KXSHandle *h) { return null_list(kxs_FOGroup(h), kxs_freeFOGroup); }},
    {"kxs_interfaces", {"gstatus\n"},
     [](KXSHandle *h) { return null_list(kxs_interfaces(h), kxs_freeInterfaces); }},
};

class QueryStatusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_.lay_out_minimal_product();
        handle_.reset(kxs_init());
        ASSERT_TRUE(handle_);
        handle_->rep.hostname = "kxtest-host";
        ASSERT_EQ(kxs_addDTUMonitored(handle_.get(), "0800aa"), 0);
        // One session, shown on the unit of the status record's token.
        for (const char *dir : {kx::kDisplayDir, kx::kSessionProcDir, kx::kIdleDir})
            root_.make_dir(dir);
        root_.write(std::string(kx::kDisplayDir) + "1",
                    "TOKEN=t1\nINSERT_TOKEN=i\nDISPLAY=1\nTOKEN_SET=s\nSESSION_TYPE=t\n");
    }
    // Every figure asked afresh: no cached counts, no remembered daemon.
    void forget()
    {
        handle_->rep.daemons.clear();
        handle_->rep.sessionsRefreshed = 0;
        handle_->rep.servicesRefreshed = 0;
    }
    KXSHandle *handle() { return handle_.get(); }
    kxtest::TestRoot root_;
    kxtest::Handle handle_;
};

TEST_F(QueryStatusTest, EveryQueryTellsWhichSourceFailedAndHow)
{
    EXPECT_EQ(kxs_lastError(nullptr), KXS_EINVAL);
    EXPECT_STRNE(kxs_lastErrorText(nullptr), "");
    for (const Query &query : kQueries) {
        CommandTransport transport;
        transport.scripts = healthy_server();
        forget();
        // After the last fault of the query before: a query that succeeds clears it.
        EXPECT_FALSE(query.gaveFailureResult(handle())) << query.name;
        EXPECT_EQ(kxs_lastError(handle()), KXS_OK)
            << query.name << ": " << kxs_lastErrorText(handle());
        EXPECT_STREQ(kxs_lastErrorText(handle()), "") << query.name;

        for (const std::string &command : query.needs) {
            for (const Fault &fault : kFaults) {
                forget();
                transport.scripts = healthy_server();
                transport.scripts[command] = fault.script;
                const Without without = command == query.needs[0] ? query.without : Without::Fails;
                const std::string what = std::string(query.name) + " without " + command + " (" +
                                         fault.name + ")";
                EXPECT_EQ(query.gaveFailureResult(handle()), without == Without::Fails) << what;
                // A release function is no query: the outcome stays.
                kxs_freeDTUs(handle(), nullptr);
                kxs_freeFOGroup(handle(), nullptr);
                const std::string text = kxs_lastErrorText(handle());
                const int code = without == Without::Fails     ? fault.code
                                 : without == Without::Partial ? KXS_EPARTIAL
                                                               : KXS_OK;
                EXPECT_EQ(kxs_lastError(handle()), code) << what << ": " << text;
                if (without == Without::Unaffected)
                    continue;
                const char *daemon = command == "smstatus\n" ? "session manager on "
                                                             : "authentication manager on ";
                EXPECT_NE(text.find(daemon), std::string::npos) << what << ": " << text;
                EXPECT_NE(text.find(fault.says), std::string::npos) << what << ": " << text;
            }
        }
    }
    EXPECT_EQ(kxs_addDTUMonitored(handle(), "0800bb"), 0);  // no daemon query clears it too
    EXPECT_EQ(kxs_lastError(handle()), KXS_OK);
    EXPECT_STREQ(kxs_lastErrorText(handle()), "");
}

TEST_F(QueryStatusTest, ToolsAndFilesSayHowTheyFailed)
{
    const struct {
        const char *script;  // of every tool; nullptr: the tools are missing
        int code;
        const char *says;
    } cases[] = {
        {nullptr, KXS_ETOOL, "is missing"},
        {"echo 'a\t1'\nexit 3\n", KXS_ETOOL, "exited with status 3"},
        {"echo 'a\t1'\nkill -KILL $$\n", KXS_ETOOL, "was killed by signal 9"},
        {"echo 'a\t1'\n", KXS_OK, ""},
    };
    for (const auto &c : cases) {
        for (const char *tool : {"lib/kxsdhcpsum", "lib/kxspatches", "sbin/kxpolicy"}) {
            std::filesystem::remove(root_.at(std::string("/opt/ZARNkx/") + tool));
            if (c.script)
                root_.write(std::string("/opt/ZARNkx/") + tool, c.script, 0755);
        }
        auto check = [&](const char *query, bool gaveFailureResult) {
            // The policy tool's exit code is not examined, unless it says
            // that the tool did not run or end of itself.
            const bool ok = c.code == KXS_OK || (std::strcmp(query, "kxs_policy") == 0 &&
                                                 std::strstr(c.says, "exited"));
            EXPECT_EQ(gaveFailureResult, !ok) << query << " " << c.says;
            EXPECT_EQ(kxs_lastError(handle()), ok ? KXS_OK : c.code) << query << " " << c.says;
            EXPECT_NE(std::string(kxs_lastErrorText(handle())).find(ok ? "" : c.says),
                      std::string::npos)
                << query << ": " << kxs_lastErrorText(handle());
        };
        check("kxs_DHCP", null_list(kxs_DHCP(handle()), kxs_freeDHCP));
        char *text = kxs_patches(handle());
        check("kxs_patches", text && !*text);  // the empty text, as documented
        free(text);
        text = kxs_policy(handle());
        check("kxs_policy", text == nullptr);
        free(text);
    }
    // No package record: no product here.
    std::filesystem::remove(root_.at("/var/sadm/pkg/ZARNkxo/pkginfo"));
    EXPECT_EQ(kxs_version(handle()), nullptr);
    EXPECT_EQ(kxs_lastError(handle()), KXS_ENOTCONFIGURED);
    EXPECT_EQ(kxs_listPatches(handle()), nullptr);
    EXPECT_EQ(kxs_lastError(handle()), KXS_ENOTCONFIGURED);
    // A contact file that cannot be read is no reason to pass the default
    // off as the server's contact.
    root_.make_dir("/var/opt/ZARNkx/snmp/kxssyscontact.data/not-a-file");
    kxtest::Handle blind(kxs_init());
    char *text = kxs_contact(blind.get());
    EXPECT_EQ(kxs_lastError(blind.get()), KXS_EFILE) << text;
    free(text);
    EXPECT_EQ(kxs_setContact(handle(), "two\nlines"), -1);
    EXPECT_EQ(kxs_lastError(handle()), KXS_EINVAL);
}

// ---- the memory of a daemon that did not answer, over real sockets ---------------

TEST_F(QueryStatusTest, AHungDaemonCostsOneWaitAndARefusedOneNone)
{
    if (!kxtest::in_network_sandbox())
        GTEST_SKIP() << "needs the network sandbox";
    kx::ReplyLimits limits;
    limits.firstDataMs = 400;
    kx::set_reply_limits(limits);
    auto timed = [&](auto &&query) {
        const auto start = kx::Clock::now();
        query();
        return kx::Clock::now() - start;
    };
    {
        // Takes the command and never answers: a daemon that is stopped.
        kxtest::FakeDaemon hung("127.0.0.1", kx::kAuthMgrFallbackPort);
        hung.on("status", "", true);
        hung.on("gstatus", "", true);
        EXPECT_GE(timed([&] { EXPECT_EQ(kxs_users(handle()), 0u); }), 400ms);
        EXPECT_EQ(kxs_lastError(handle()), KXS_ETIMEDOUT);
        const std::string first = kxs_lastErrorText(handle());
        EXPECT_NE(
            first.find("authentication manager on kxtest-host:7010 did not answer within 0.4 s"),
            std::string::npos)
            << first;
        // Asked again at once, under another name of the same host and with
        // another command: no second wait, the same outcome.
        EXPECT_LT(timed([&] { EXPECT_EQ(kxs_desktops(handle()), 0); }), 200ms);
        EXPECT_EQ(kxs_lastError(handle()), KXS_ETIMEDOUT);
        EXPECT_EQ(kxs_lastErrorText(handle()), first);
        EXPECT_LT(timed([&] { kxs_freeFOGroup(handle(), kxs_FOGroup(handle())); }), 200ms);
        EXPECT_EQ(kxs_lastError(handle()), KXS_ETIMEDOUT);
        EXPECT_EQ(hung.commands().size(), 1u);
        // Another handle has its own memory.
        kxtest::Handle other(kxs_init());
        EXPECT_EQ(kxs_users(other.get()), 0u);
        EXPECT_EQ(hung.commands().size(), 2u);
    }
    // Nothing listens on the session manager's port: refused, at once, and
    // not remembered, so a daemon that comes up is asked at the next query.
    EXPECT_EQ(kxs_upTime(handle()), 0u);
    EXPECT_EQ(kxs_lastError(handle()), KXS_EREFUSED);
    kxtest::FakeDaemon sessionManager("127.0.0.1", kx::kSessionMgrFallbackPort);
    sessionManager.on("smstatus", "OK/smstatus stime=1700000050 sessions=1\n");
    kxs_upTime(handle());
    EXPECT_EQ(sessionManager.commands().size(), 1u);
    kx::set_reply_limits(kx::ReplyLimits{});
}

}  // namespace
