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
#include <map>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using kx::Outcome;
using kxtest::CommandTransport;
using kxtest::Script;
using kxtest::healthy_server;

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
    std::function<Without(const std::string &command)> without;
};

Without always_fails(const std::string &) { return Without::Fails; }

template <class List, class Free> bool null_list(List *list, Free release)
{
    bool null = list == nullptr;
    release(nullptr, list);
    return null;
}

const std::vector<Query> &queries()
{
    static const std::vector<Query> all = {
        {"kxs_users", {"status\n"}, [](KXSHandle *h) { return kxs_users(h) == 0; }, always_fails},
        {"kxs_desktops", {"status\n"}, [](KXSHandle *h) { return kxs_desktops(h) == 0; },
         always_fails},
        {"kxs_upTime", {"smstatus\n", "amstatus\n"},
         [](KXSHandle *h) { return kxs_upTime(h) == 0; }, always_fails},
        {"kxs_DTUException", {"status\n"},
         [](KXSHandle *h) { return null_list(kxs_DTUException(h, 60, nullptr), kxs_freeDTUs); },
         always_fails},
        {"kxs_DTUMonitored", {"gstatus\n", "status\n"},
         [](KXSHandle *h) {
             // Documented: every monitored terminal still comes back, absent.
             KXSDTU **dtus = kxs_DTUMonitored(h, 60, nullptr);
             bool absent = dtus && dtus[0] && dtus[0]->state == KXS_DTU_ABSENT;
             kxs_freeDTUs(h, dtus);
             return absent;
         },
         // Without the group, this server's own list still answers.
         [](const std::string &command) {
             return command == "gstatus\n" ? Without::Partial : Without::Fails;
         }},
        // The authentication manager tells which sessions a unit shows; the
        // number of sessions does not need it.
        {"kxs_sessions", {"status\n"}, [](KXSHandle *h) { return kxs_sessions(h) == 0; },
         always_fails},
        {"kxs_totalSessions", {"status\n"}, [](KXSHandle *h) { return kxs_totalSessions(h) != 1; },
         [](const std::string &) { return Without::Unaffected; }},
        {"kxs_FOGroup", {"gstatus\n"},
         [](KXSHandle *h) { return null_list(kxs_FOGroup(h), kxs_freeFOGroup); }, always_fails},
        {"kxs_interfaces", {"gstatus\n"},
         [](KXSHandle *h) { return null_list(kxs_interfaces(h), kxs_freeInterfaces); },
         always_fails},
    };
    return all;
}

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
    const kxtest::TestRoot &root() const { return root_; }

private:
    kxtest::TestRoot root_;
    kxtest::Handle handle_;
};

TEST_F(QueryStatusTest, EveryQueryTellsWhichSourceFailedAndHow)
{
    for (const Query &query : queries()) {
        CommandTransport transport;
        transport.scripts = healthy_server();
        forget();
        EXPECT_FALSE(query.gaveFailureResult(handle())) << query.name;
        EXPECT_EQ(kxs_lastError(handle()), KXS_OK)
            << query.name << ": " << kxs_lastErrorText(handle());
        EXPECT_STREQ(kxs_lastErrorText(handle()), "") << query.name;

        for (const std::string &command : query.needs) {
            for (const Fault &fault : kFaults) {
                forget();
                transport.scripts = healthy_server();
                transport.scripts[command] = fault.script;
                const Without without = query.without(command);
                const std::string what = std::string(query.name) + " without " + command + " (" +
                                         fault.name + ")";
                EXPECT_EQ(query.gaveFailureResult(handle()), without == Without::Fails) << what;
                const std::string text = kxs_lastErrorText(handle());
                if (without == Without::Unaffected) {
                    EXPECT_EQ(kxs_lastError(handle()), KXS_OK) << what << ": " << text;
                    continue;
                }
                EXPECT_EQ(kxs_lastError(handle()),
                          without == Without::Partial ? KXS_EPARTIAL : fault.code)
                    << what;
                const char *daemon = command == "smstatus\n" ? "session manager on "
                                                             : "authentication manager on ";
                EXPECT_NE(text.find(daemon), std::string::npos) << what << ": " << text;
                EXPECT_NE(text.find(fault.says), std::string::npos) << what << ": " << text;
            }
        }
    }
}

TEST_F(QueryStatusTest, ANullHandleAndTheReleaseFunctionsLeaveNoDoubt)
{
    EXPECT_EQ(kxs_lastError(nullptr), KXS_EINVAL);
    EXPECT_STRNE(kxs_lastErrorText(nullptr), "");

    CommandTransport transport;  // nothing answers
    EXPECT_EQ(kxs_users(handle()), 0u);
    EXPECT_EQ(kxs_lastError(handle()), KXS_EREFUSED);
    // A release function is no query: the outcome stays.
    kxs_freeDTUs(handle(), nullptr);
    kxs_freeFOGroup(handle(), nullptr);
    EXPECT_EQ(kxs_lastError(handle()), KXS_EREFUSED);
    // The next query that succeeds clears it.
    EXPECT_EQ(kxs_addDTUMonitored(handle(), "0800bb"), 0);
    EXPECT_EQ(kxs_lastError(handle()), KXS_OK);
    EXPECT_STREQ(kxs_lastErrorText(handle()), "");
}

TEST_F(QueryStatusTest, ToolsAndFilesSayHowTheyFailed)
{
    const std::string dhcp = "/opt/ZARNkx/lib/kxsdhcpsum";
    const std::string patches = "/opt/ZARNkx/lib/kxspatches";
    const std::string policy = "/opt/ZARNkx/sbin/kxpolicy";
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
        for (const std::string &tool : {dhcp, patches, policy}) {
            std::filesystem::remove(root().at(tool));
            if (c.script)
                root().write(tool, c.script, 0755);
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
    std::filesystem::remove(root().at("/var/sadm/pkg/ZARNkxo/pkginfo"));
    EXPECT_EQ(kxs_version(handle()), nullptr);
    EXPECT_EQ(kxs_lastError(handle()), KXS_ENOTCONFIGURED);
    char *text = kxs_listPatches(handle());
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(kxs_lastError(handle()), KXS_ENOTCONFIGURED);
    // A contact file that cannot be read is no reason to pass the default
    // off as the server's contact.
    root().make_dir("/var/opt/ZARNkx/snmp/kxssyscontact.data/not-a-file");
    kxtest::Handle blind(kxs_init());
    text = kxs_contact(blind.get());
    EXPECT_EQ(kxs_lastError(blind.get()), KXS_EFILE) << text;
    free(text);
    EXPECT_EQ(kxs_setContact(handle(), "two\nlines"), -1);
    EXPECT_EQ(kxs_lastError(handle()), KXS_EINVAL);
}

// ---- the memory of a daemon that did not answer, over real sockets ---------------

TEST(DaemonMemory, AHungDaemonCostsOneWaitAndARefusedOneNone)
{
    if (!kxtest::in_network_sandbox())
        GTEST_SKIP() << "needs the network sandbox";
    kxtest::TestRoot root;
    root.lay_out_minimal_product();
    kxtest::Handle handle(kxs_init());
    ASSERT_TRUE(handle);
    handle->rep.hostname = kxtest::kSandboxHost;
    kx::ReplyLimits limits;
    limits.firstDataMs = 400;
    const kx::ReplyLimits saved = kx::reply_limits();
    kx::set_reply_limits(limits);

    using Clock = std::chrono::steady_clock;
    auto timed = [&](auto &&query) {
        const auto start = Clock::now();
        query();
        return Clock::now() - start;
    };
    {
        // Takes the command and never answers: a daemon that is stopped.
        kxtest::FakeDaemon hung("127.0.0.1", kx::kAuthMgrFallbackPort);
        hung.on("status", "", true);
        hung.on("gstatus", "", true);
        EXPECT_GE(timed([&] { EXPECT_EQ(kxs_users(handle.get()), 0u); }),
                  std::chrono::milliseconds(400));
        EXPECT_EQ(kxs_lastError(handle.get()), KXS_ETIMEDOUT);
        const std::string first = kxs_lastErrorText(handle.get());
        EXPECT_NE(
            first.find("authentication manager on kxtest-host:7010 did not answer within 0.4 s"),
            std::string::npos)
            << first;
        // Asked again at once, under another name of the same host and with
        // another command: no second wait, the same outcome.
        EXPECT_LT(timed([&] { EXPECT_EQ(kxs_desktops(handle.get()), 0); }),
                  std::chrono::milliseconds(200));
        EXPECT_EQ(kxs_lastError(handle.get()), KXS_ETIMEDOUT);
        EXPECT_EQ(kxs_lastErrorText(handle.get()), first);
        EXPECT_LT(timed([&] { kxs_freeFOGroup(handle.get(), kxs_FOGroup(handle.get())); }),
                  std::chrono::milliseconds(200));
        EXPECT_EQ(kxs_lastError(handle.get()), KXS_ETIMEDOUT);
        EXPECT_EQ(hung.commands().size(), 1u);
        // Another handle has its own memory.
        kxtest::Handle other(kxs_init());
        EXPECT_EQ(kxs_users(other.get()), 0u);
        EXPECT_EQ(hung.commands().size(), 2u);
    }
    // Nothing listens on the session manager's port: refused, at once, and
    // not remembered, so a daemon that comes up is asked at the next query.
    EXPECT_EQ(kxs_upTime(handle.get()), 0u);
    EXPECT_EQ(kxs_lastError(handle.get()), KXS_EREFUSED);
    kxtest::FakeDaemon sessionManager("127.0.0.1", kx::kSessionMgrFallbackPort);
    sessionManager.on("smstatus", "OK/smstatus stime=1700000050 sessions=1\n");
    kxs_upTime(handle.get());
    EXPECT_EQ(sessionManager.commands().size(), 1u);
    kx::set_reply_limits(saved);
}

}  // namespace
