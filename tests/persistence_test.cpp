// The system contact and the monitored-terminal table survive the handle,
// and their files are never left empty, half-written or behind the table.
#include "diagnostics_capture.h"
#include "kxsdesktop.h"
#include "kxsinit.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>

using kxtest::DiagnosticsCapture;
using kxtest::Handle;
using kxtest::TestRoot;

namespace {

constexpr const char *kContact = "/var/opt/ZARNkx/snmp/kxssyscontact.data";
constexpr const char *kMonitored = "/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data";
constexpr const char *kSnmp = "/var/opt/ZARNkx/snmp";
using V = std::vector<std::string>;

std::string owned(char *text)
{
    std::string out = text ? text : "<null>";
    free(text);
    return out;
}

V table(KXSHandle *h)
{
    V ids;
    for (KXSMonitoredDTU *n = h->monitoredDTUs; n; n = n->next)
        ids.push_back(n->terminalID);
    return ids;
}

std::string numbered(int count)
{
    std::string file;
    for (int i = 0; i < count; ++i)
        file += "T" + std::to_string(i) + "\n";
    return file;
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
    TestRoot root;
    DiagnosticsCapture diag;
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

TEST_F(Persistence, MonitoredTableSurvivesTheHandleAndIgnoresCase)
{
    {
        Handle h = open();
        for (const char *id : {"TERM-A", "IEEE802.080020f8a2b1", "term-b", "term-a"})
            EXPECT_EQ(kxs_addDTUMonitored(h.get(), id), 0) << id;
        EXPECT_EQ(kxs_deleteDTUMonitored(h.get(), "Term-B"), 0);
        EXPECT_EQ(kxs_deleteDTUMonitored(h.get(), "unknown"), 0);
    }
    EXPECT_EQ(root.read(kMonitored), "TERM-A\nIEEE802.080020f8a2b1\n");
    Handle h = open();
    EXPECT_EQ(table(h.get()), (V{"TERM-A", "IEEE802.080020f8a2b1"}));
    EXPECT_EQ(h->numMonitoredDTUs, 2);
    EXPECT_EQ(kxs_deleteDTUMonitored(h.get(), "term-a"), 0);
    EXPECT_EQ(kxs_deleteDTUMonitored(h.get(), "ieee802.080020F8A2B1"), 0);
    EXPECT_TRUE(std::filesystem::is_empty(root.at(kMonitored)));  // present, and empty

    root.write(kMonitored, "a\r\n\nlast-without-newline");
    EXPECT_EQ(table(open().get()), (V{"a\r", "", "last-without-newline"}));
}

TEST_F(Persistence, TableRefusesIdsThatCannotComeBackWholeAndHoldsAtMost999)
{
    Handle h = open();
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "two\nids"), -1);
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), std::string(255, 'x').c_str()), -1);
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), std::string(254, 'x').c_str()), 0);
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), nullptr), -1);
    EXPECT_EQ(kxs_addDTUMonitored(nullptr, "x"), -1);
    EXPECT_EQ(table(open().get()), V{std::string(254, 'x')});

    root.write(kMonitored, numbered(1200));
    h = open();
    EXPECT_EQ(h->numMonitoredDTUs, 999);
    EXPECT_EQ(table(h.get()).back(), "T998");
    root.write(kMonitored, numbered(999));
    h = open();
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "one-too-many"), -1);
    EXPECT_EQ(root.read(kMonitored), numbered(999));
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "t5"), 0);  // duplicates still succeed
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
    std::filesystem::directory_iterator files(root.at(kSnmp)), end;
    EXPECT_EQ(std::distance(files, end), 2) << "temporary file left behind";
    EXPECT_EQ(kxs_setContact(h.get(), "new"), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

}  // namespace
