// The system contact and the monitored-terminal table survive the handle,
// and their files are never left empty or half-written.
#include "diagnostics_capture.h"
#include "kxsdesktop.h"
#include "kxsinit.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

using kxtest::DiagnosticsCapture;
using kxtest::TestRoot;

namespace {

constexpr const char *kContact = "/var/opt/ZARNkx/snmp/kxssyscontact.data";
constexpr const char *kMonitored = "/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data";

using kxtest::Handle;

std::string owned(char *text)
{
    std::string out = text ? text : "<null>";
    free(text);
    return out;
}

std::vector<std::string> table(KXSHandle *h)
{
    std::vector<std::string> ids;
    for (KXSMonitoredDTU *n = h->monitoredDTUs; n; n = n->next)
        ids.push_back(n->terminalID);
    return ids;
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
};

using V = std::vector<std::string>;

// ---- contact -------------------------------------------------------------------

TEST_F(Persistence, ContactDefaultsToSystemAdmin)
{
    EXPECT_EQ(owned(kxs_contact(nullptr)), "System Admin");
    EXPECT_EQ(owned(kxs_contact(open().get())), "System Admin");
}

TEST_F(Persistence, ContactSurvivesTheHandle)
{
    EXPECT_EQ(kxs_setContact(open().get(), "Ops desk, room 4"), 0);
    EXPECT_EQ(root.read(kContact), "Ops desk, room 4");  // no newline added
    EXPECT_EQ(owned(kxs_contact(open().get())), "Ops desk, room 4");
}

TEST_F(Persistence, EmptyContactLeavesAnEmptyFileAndTheDefault)
{
    EXPECT_EQ(kxs_setContact(open().get(), ""), 0);
    EXPECT_TRUE(root.exists(kContact));
    EXPECT_EQ(root.read(kContact), "");
    EXPECT_EQ(owned(kxs_contact(open().get())), "System Admin");
}

TEST_F(Persistence, ContactIsTheFirstLineCutAt255)
{
    root.write(kContact, "first\nsecond\n");
    EXPECT_EQ(owned(kxs_contact(open().get())), "first");
    root.write(kContact, std::string(300, 'c'));
    EXPECT_EQ(owned(kxs_contact(open().get())), std::string(255, 'c'));
}

TEST_F(Persistence, SetContactRefusesNullHandle)
{
    EXPECT_EQ(kxs_setContact(nullptr, "x"), -1);
}

// ---- monitored terminals ----------------------------------------------------------

TEST_F(Persistence, MonitoredTableSurvivesTheHandle)
{
    {
        Handle h = open();
        EXPECT_EQ(kxs_addDTUMonitored(h.get(), "IEEE802.080020f8a2b1"), 0);
        EXPECT_EQ(kxs_addDTUMonitored(h.get(), "IEEE802.0003ba0e8c11"), 0);
        EXPECT_EQ(kxs_addDTUMonitored(h.get(), "pseudo.abc"), 0);
    }
    EXPECT_EQ(root.read(kMonitored), "IEEE802.080020f8a2b1\nIEEE802.0003ba0e8c11\npseudo.abc\n");
    Handle h = open();
    EXPECT_EQ(table(h.get()), (V{"IEEE802.080020f8a2b1", "IEEE802.0003ba0e8c11", "pseudo.abc"}));
    EXPECT_EQ(h->numMonitoredDTUs, 3);
}

TEST_F(Persistence, DuplicatesAndDeletionIgnoreCase)
{
    Handle h = open();
    ASSERT_EQ(kxs_addDTUMonitored(h.get(), "TERM-A"), 0);
    ASSERT_EQ(kxs_addDTUMonitored(h.get(), "term-b"), 0);
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "term-a"), 0);
    EXPECT_EQ(table(h.get()), (V{"TERM-A", "term-b"}));
    EXPECT_EQ(kxs_deleteDTUMonitored(h.get(), "Term-A"), 0);
    EXPECT_EQ(kxs_deleteDTUMonitored(h.get(), "unknown"), 0);
    EXPECT_EQ(table(h.get()), V{"term-b"});
    EXPECT_EQ(root.read(kMonitored), "term-b\n");
    EXPECT_EQ(kxs_deleteDTUMonitored(h.get(), "TERM-B"), 0);
    EXPECT_TRUE(root.exists(kMonitored));
    EXPECT_EQ(root.read(kMonitored), "");
    EXPECT_EQ(open()->monitoredDTUs, nullptr);
}

TEST_F(Persistence, LoadingKeepsLinesAsTheyAre)
{
    root.write(kMonitored, "a\r\n\nlast-without-newline");
    EXPECT_EQ(table(open().get()), (V{"a\r", "", "last-without-newline"}));
}

TEST_F(Persistence, IdsThatCannotComeBackWholeAreRefused)
{
    DiagnosticsCapture diag;
    Handle h = open();
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "two\nids"), -1);
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), std::string(255, 'x').c_str()), -1);
    EXPECT_TRUE(diag.contains("kxs_addDTUMonitored(): terminalID refused"));
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), std::string(254, 'x').c_str()), 0);
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), nullptr), -1);
    EXPECT_EQ(kxs_addDTUMonitored(nullptr, "x"), -1);
    EXPECT_EQ(table(open().get()), V{std::string(254, 'x')});
}

TEST_F(Persistence, TableHolds999Terminals)
{
    std::string file;
    for (int i = 0; i < 999; ++i)
        file += "T" + std::to_string(i) + "\n";
    root.write(kMonitored, file);
    DiagnosticsCapture diag;
    Handle h = open();
    ASSERT_EQ(h->numMonitoredDTUs, 999);
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "one-too-many"), -1);
    EXPECT_TRUE(diag.has("Reach maximum numbers of monitored DTUs \"1000\"!!"));
    EXPECT_EQ(h->numMonitoredDTUs, 999);
    EXPECT_EQ(root.read(kMonitored), file);
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "t5"), 0);  // duplicates still succeed
}

TEST_F(Persistence, OverlongFileKeepsTheFirst999)
{
    std::string file;
    for (int i = 0; i < 1200; ++i)
        file += "T" + std::to_string(i) + "\n";
    root.write(kMonitored, file);
    DiagnosticsCapture diag;
    Handle h = open();
    EXPECT_EQ(h->numMonitoredDTUs, 999);
    EXPECT_EQ(table(h.get()).back(), "T998");
    EXPECT_TRUE(diag.contains("holds more than 999 terminals"));
}

// ---- the crash-safe writer ----------------------------------------------------------

struct UnwritableCase {
    std::string contactPath, monitoredPath;
    KXSHandle *handle;
};

int change_in_read_only_directory(void *arg)
{
    auto *c = static_cast<UnwritableCase *>(arg);
    int failures = 0;
    failures += kxs_setContact(c->handle, "new contact") != -1;
    failures += kxs_addDTUMonitored(c->handle, "new-terminal") != -1;
    failures += kxs_deleteDTUMonitored(c->handle, "old-terminal") != -1;
    // The handle keeps the changes although the files could not take them.
    failures += owned(kxs_contact(c->handle)) != "new contact";
    failures += table(c->handle) != V{"new-terminal"};
    return failures;
}

TEST_F(Persistence, ReadOnlyDirectoryKeepsTheOldFiles)
{
    root.write(kContact, "old contact");
    root.write(kMonitored, "old-terminal\n");
    Handle h = open();
    chmod(root.at("/var/opt/ZARNkx/snmp").c_str(), 0555);
    UnwritableCase c{root.at(kContact), root.at(kMonitored), h.get()};
    EXPECT_EQ(kxtest::run_unprivileged(change_in_read_only_directory, &c), 0);
    chmod(root.at("/var/opt/ZARNkx/snmp").c_str(), 0755);
    EXPECT_EQ(root.read(kContact), "old contact");
    EXPECT_EQ(root.read(kMonitored), "old-terminal\n");
}

TEST_F(Persistence, FullDiskKeepsTheOldFile)
{
    root.write(kContact, "old contact");
    Handle h = open();
    // A file size limit makes writes fail as a full disk would.
    struct sigaction ignore = {}, previous;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &small);
    int rc = kxs_setContact(h.get(), std::string(1000, 'n').c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(rc, -1);
    EXPECT_EQ(root.read(kContact), "old contact");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root.at("/var/opt/ZARNkx/snmp")),
                            std::filesystem::directory_iterator()),
              1) << "temporary file left behind";
}

TEST_F(Persistence, ReplacementKeepsThePermissions)
{
    std::string path = root.write(kContact, "old", 0640);
    EXPECT_EQ(kxs_setContact(open().get(), "new"), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(Persistence, MissingDirectoryFailsTheWrite)
{
    std::filesystem::remove_all(root.at("/var/opt/ZARNkx/snmp"));
    DiagnosticsCapture diag;
    Handle h = open();
    EXPECT_EQ(kxs_setContact(h.get(), "x"), -1);
    EXPECT_TRUE(diag.has("kxs_setContact(): Unable to write " + root.at(kContact) + " file"));
    EXPECT_EQ(kxs_addDTUMonitored(h.get(), "t"), -1);
    EXPECT_TRUE(diag.has("kxs_addDTUMonitored(): Unable to write " + root.at(kMonitored) + " file"));
}

}  // namespace
