// The system contact and the monitored-terminal table survive the handle,
// and their files are never left empty, half-written or behind the table.
#include "diagnostics_capture.h"
#include "kxsdesktop.h"
#include "kxsinit.h"
#include "scripted_transport.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using kxtest::Handle;
using kxtest::owned;

namespace {

constexpr const char *kContact = "/var/opt/ZARNkx/snmp/kxssyscontact.data";
constexpr const char *kMonitored = "/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data";
constexpr const char *kSnmp = "/var/opt/ZARNkx/snmp";
using V = std::vector<std::string>;

std::string numbered(int count)
{
    std::string file;
    for (int i = 0; i < count; ++i)
        file += "T" + std::to_string(i) + "\n";
    return file;
}

V lines_of(const std::string &text)
{
    V lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class Persistence : public ::testing::Test {
protected:
    void SetUp() override { root.lay_out_minimal_product(); }
    Handle open()
    {
        Handle h(kxs_init());
        EXPECT_NE(h, nullptr);
        return h;
    }
    kxtest::TestRoot root;
    kxtest::DiagnosticsCapture diag;
};

TEST_F(Persistence, ContactIsTheFirstLineOfItsFile)
{
    const struct {
        bool present;
        std::string file, contact;
    } cases[] = {
        {false, "", "System Admin"},
        {true, "", "System Admin"},
        {true, "first\nsecond\n", "first"},
        {true, std::string(300, 'c'), std::string(255, 'c')},
    };
    for (const auto &c : cases) {
        std::filesystem::remove(root.at(kContact));
        if (c.present)
            root.write(kContact, c.file);
        EXPECT_EQ(owned(kxs_contact(open().get())), c.contact) << c.file;
    }
    EXPECT_EQ(owned(kxs_contact(nullptr)), "System Admin");
    EXPECT_EQ(kxs_setContact(nullptr, "x"), -1);
    EXPECT_EQ(kxs_setContact(open().get(), "Ops desk, room 4"), 0);
    EXPECT_EQ(root.read(kContact), "Ops desk, room 4");  // no newline added
    EXPECT_EQ(owned(kxs_contact(open().get())), "Ops desk, room 4");
    // What could not be read back whole is refused, and nothing changes.
    for (const std::string &cut : {std::string("Ops\nroom 4"), std::string(256, 'c')}) {
        Handle h = open();
        errno = 0;
        EXPECT_EQ(kxs_setContact(h.get(), cut.c_str()), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(owned(kxs_contact(h.get())), "Ops desk, room 4");
    }
    EXPECT_EQ(root.read(kContact), "Ops desk, room 4");
}

TEST_F(Persistence, MonitoredTableSurvivesTheHandleIgnoresCaseAndHoldsAtMost999)
{
    const std::string longest(254, 'x'), tooLong(255, 'x');
    {
        Handle h = open();
        for (const char *id :
             {"TERM-A", "IEEE802.080020f8a2b1", "term-b", "term-a", longest.c_str()})
            EXPECT_EQ(kxs_addDTUMonitored(h.get(), id), 0) << id;
        // IDs that could not come back whole are refused.
        for (const char *id : {"two\nids", tooLong.c_str(), static_cast<const char *>(nullptr)})
            EXPECT_EQ(kxs_addDTUMonitored(h.get(), id), -1) << id;
        EXPECT_EQ(kxs_addDTUMonitored(nullptr, "x"), -1);
        EXPECT_EQ(kxs_deleteDTUMonitored(h.get(), "Term-B"), 0);
        EXPECT_EQ(kxs_deleteDTUMonitored(h.get(), "unknown"), 0);
    }
    EXPECT_EQ(root.read(kMonitored), "TERM-A\nIEEE802.080020f8a2b1\n" + longest + "\n");
    Handle h = open();
    EXPECT_EQ(h->rep.monitored, (V{"TERM-A", "IEEE802.080020f8a2b1", longest}));
    for (const char *id : {"term-a", "ieee802.080020F8A2B1", longest.c_str()})
        EXPECT_EQ(kxs_deleteDTUMonitored(h.get(), id), 0) << id;
    EXPECT_TRUE(std::filesystem::is_empty(root.at(kMonitored)));  // present, and empty

    // A line longer than an ID can be (a hand edit) is dropped, not read as
    // several IDs, and the table is written back without it. Past 999 IDs the
    // rest is not read, and a full table takes no new ID: the file stays.
    const struct {
        std::string file;
        V ids;
        bool dropped;
    } cases[] = {
        {"a\r\n\nlast-without-newline", {"a\r", "", "last-without-newline"}, false},
        {"one\n" + std::string(300, 'x') + "\ntwo\n", {"one", "two"}, true},
        {std::string(255, 'y') + "\n" + std::string(254, 'z'), {std::string(254, 'z')}, true},
        {std::string("cut\0off\nb\n", 10), {"cut", "b"}, false},
        {numbered(1200), lines_of(numbered(999)), false},
    };
    for (const auto &c : cases) {
        root.write(kMonitored, c.file);
        diag.clear();
        h = open();
        EXPECT_EQ(h->rep.monitored, c.ids) << c.file;
        EXPECT_EQ(diag.contains("characters; dropped"), c.dropped) << diag.all();
        const bool full = c.ids.size() == 999;
        ASSERT_EQ(kxs_addDTUMonitored(h.get(), "three"), full ? -1 : 0);
        std::string written;
        for (const std::string &id : c.ids)
            written += id + "\n";
        EXPECT_EQ(root.read(kMonitored), full ? c.file : written + "three\n");
    }
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "t5"), 0);  // a duplicate still succeeds
}

TEST_F(Persistence, FailedWritesLoseNothingAndReplacementKeepsThePermissions)
{
    std::filesystem::remove_all(root.at(kSnmp));
    Handle h = open();
    EXPECT_EQ(kxs_setContact(h.get(), "x"), -1);
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "t"), -1);
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "t"), -1);  // still not stored
    root.make_dir(kSnmp);
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "T"), 0);  // the retry stores the whole table
    EXPECT_EQ(root.read(kMonitored), "t\n");

    std::string path = root.write(kContact, "old contact", 0640);
    // A file size limit makes writes fail as a full disk would.
    struct sigaction ignore = {}, previous;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = {64, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    int rc = kxs_setContact(h.get(), std::string(200, 'n').c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(rc, -1);
    EXPECT_EQ(root.read(kContact), "old contact");
    for (const auto &file : std::filesystem::directory_iterator(root.at(kSnmp))) {
        const std::string name = file.path().filename();
        EXPECT_TRUE(name == "kxssyscontact.data" || name.rfind("kxsmonitoreddtus.data", 0) == 0)
            << "temporary file left behind: " << name;
    }
    EXPECT_EQ(kxs_setContact(h.get(), "new"), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// The IDs that the handle reports now, in table order.
V reported(KXSHandle *h)
{
    kxtest::ScriptedTransport nobody;  // every terminal absent, at once
    V ids;
    KXSDTU **dtus = kxs_DTUMonitored(h, 60, nullptr);
    for (KXSDTU **d = dtus; d && *d; ++d)
        ids.push_back((*d)->terminalId);
    kxs_freeDTUs(h, dtus);
    return ids;
}

// Handles and processes that change the table in turn or at once lose none
// of each other's changes: each change is made to the file as it is, under
// its lock, and every handle reports the table as the file has it now.
TEST_F(Persistence, WritersOfTheTableLoseNoneOfEachOthersChanges)
{
    Handle one = open(), two = open();
    V all;
    for (int i = 0; i < 40; ++i) {  // in turn
        const std::string id = (i % 2 ? "B" : "A") + std::to_string(i / 2);
        EXPECT_EQ(kxs_addDTUMonitored((i % 2 ? two : one).get(), id.c_str()), 0) << id;
        all.push_back(id);
    }
    EXPECT_EQ(kxs_deleteDTUMonitored(one.get(), "b0"), 0);  // the other handle's
    EXPECT_EQ(kxs_addDTUMonitored(two.get(), "a0"), 0);     // a duplicate of the other's
    all.erase(std::find(all.begin(), all.end(), "B0"));
    EXPECT_EQ(lines_of(root.read(kMonitored)), all);
    EXPECT_EQ(reported(one.get()), all);
    EXPECT_EQ(reported(two.get()), all);
    root.write(kMonitored, "edited\nby hand\n");
    EXPECT_EQ(reported(one.get()), (V{"edited", "by hand"}));

    // Children and this process add at once, each handle its own IDs.
    constexpr int kChildren = 6, kEach = 25;
    auto child_id = [](int k, int i) { return "c" + std::to_string(k) + "-" + std::to_string(i); };
    std::vector<pid_t> children;
    for (int k = 0; k < kChildren; ++k) {
        pid_t child = fork();
        if (child == 0) {
            KXSHandle *h = kxs_init();
            int failed = h ? 0 : kEach;
            for (int i = 0; h && i < kEach; ++i)
                failed += kxs_addDTUMonitored(h, child_id(k, i).c_str()) != 0;
            _exit(failed);
        }
        children.push_back(child);
    }
    V expected = {"edited", "by hand"};
    for (int i = 0; i < kEach; ++i) {
        EXPECT_EQ(kxs_addDTUMonitored(one.get(), ("p" + std::to_string(i)).c_str()), 0);
        for (int k = 0; k < kChildren; ++k)
            expected.push_back(child_id(k, i));
        expected.push_back("p" + std::to_string(i));
    }
    for (pid_t child : children) {
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    V stored = lines_of(root.read(kMonitored));
    std::sort(stored.begin(), stored.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(stored, expected);
}

// A writer that holds the lock holds the others back for a bounded time
// only; a link planted in the lock file's place is not followed.
TEST_F(Persistence, TheTablesLockIsWaitedForWithinABoundAndNeverThroughALink)
{
    Handle h = open();
    ASSERT_EQ(kxs_addDTUMonitored(h.get(), "first"), 0);
    const std::string lock = root.at(kMonitored) + ".lock";
    int holder = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    const auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "late"), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::seconds(4));
    EXPECT_LT(waited, std::chrono::seconds(10));
    close(holder);
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "later"), 0);  // stores the late one too
    EXPECT_EQ(root.read(kMonitored), "first\nlate\nlater\n");

    std::filesystem::remove(lock);
    ASSERT_EQ(symlink(root.at("/planted").c_str(), lock.c_str()), 0);
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "linked"), -1);
    EXPECT_FALSE(std::filesystem::exists(root.at("/planted")));
    EXPECT_TRUE(diag.contains("not locked")) << diag.all();
    EXPECT_EQ(root.read(kMonitored), "first\nlate\nlater\n");
}

}  // namespace
