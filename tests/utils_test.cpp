// Text, key/value, list and product-file helpers, and the error messages.
#include "admin_error.h"
#include "diagnostics_capture.h"
#include "lib_gstatus.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <libintl.h>
#include <set>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

int umaskCalls = 0;

using kxtest::owned;

TEST(Text, HelpersTrimSplitAndScramble)
{
    const std::string longSide(600, 'k');
    const struct {
        std::string line;
        int result;
        std::string key, value;
    } pairs[] = {
        {"#a=b", 0, "<null>", "<null>"},
        {"a", 0, "<null>", "<null>"},
        {"key=\n", 1, "key", "<null>"},
        {"=value", 1, "<null>", "value"},
        {"\tx y\r = \n", 1, "x y\r", "<null>"},  // blanks, tabs and newlines only
        {"  admin.subtree = o=x,dc=y \n", 1, "admin.subtree", "o=x,dc=y"},
        {longSide + "=" + longSide, 1, longSide.substr(0, 511), longSide.substr(0, 511)},
    };
    for (const auto &p : pairs) {
        char *k, *v;
        EXPECT_EQ(kx::parse_key_and_value(p.line.c_str(), &k, &v), p.result) << p.line;
        EXPECT_EQ(owned(k), p.key) << p.line;
        EXPECT_EQ(owned(v), p.value) << p.line;
    }

    char mixed[] = " \ta\vb\fc\rd\ne";
    char *fields[3];
    ASSERT_EQ(kx::make_fields(mixed, fields, 3), 3);  // never past the table
    EXPECT_STREQ(fields[2], "c");
    char blank[] = "   \n";
    EXPECT_EQ(kx::make_fields(blank, fields, 3), 0);

    EXPECT_EQ(owned(kx::strip_leading_and_trailing_whitespace(nullptr)), "<null>");
    EXPECT_TRUE(kx::is_numeric("") && kx::is_numeric("0123"));
    EXPECT_FALSE(kx::is_numeric("12a") || kx::is_numeric("-1"));
    EXPECT_EQ(owned(kx::scramble_text("Hello, World-zZ 9")), "Uryyb, Jbeyq-mM 9");
    char buffer[16];
    ASSERT_EQ(kx::convert_to_dotted_format(0xC0A80114u, buffer), 0);
    EXPECT_STREQ(buffer, "192.168.1.20");
}

TEST(KeyedList, KeepsOrderAndPutsEqualKeysFirst)
{
    kx::LinkedListNode *up = nullptr, *down = nullptr;
    for (const char *k : {"b", "a", "c", "a"}) {
        ASSERT_EQ(kx::kx_addNode2List(&up, strdup(k), strdup(k), 0), 0);
        ASSERT_EQ(kx::kx_addNode2List(&down, strdup(k), strdup(k), 1), 0);
    }
    std::string order;
    for (auto *n = up; n; n = n->next)
        order += n->key;
    for (auto *n = down; n; n = n->next)
        order += n->key;
    EXPECT_EQ(order, "aabccbaa");
    void *data = nullptr;
    EXPECT_EQ(kx::kx_findLinkedListNode(up, "zz", &data), -4);
    EXPECT_EQ(kx::kx_addNode2List(&up, const_cast<char *>("k"), nullptr, 0), -6);
    kx::kx_freeLinkedList(up, free);
    kx::kx_freeLinkedList(down, free);
}

// A tool runs as root: besides what a product file needs, no other user may
// have been able to change the file itself.
TEST(ProductFiles, OnlyTrustedRegularFilesAreReadWithinTheirCapOrRunAsTools)
{
    using enum kx::Oversize;
    kxtest::TestRoot root;
    root.write("/f", "0123456789");
    root.write("/writable", "x", 0646);
    symlink(root.at("/f").c_str(), root.at("/link").c_str());
    mkfifo(root.at("/fifo").c_str(), 0644);
    root.write("/open/f", "x");
    chmod(root.at("/open").c_str(), 0777);
    const struct {
        const char *file;
        std::size_t cap;
        kx::Oversize oversize;
        int error;  // 0: read
        const char *contents;
        bool tool;  // trusted to run
    } cases[] = {
        // clang-format off
        {"/f", 10, Refuse, 0, "0123456789", true}, {"/f", 9, Refuse, EFBIG, "", true},
        {"/f", 4, Cut, 0, "0123", true},           {"/writable", 9, Refuse, 0, "x", false},
        {"/link", 99, Refuse, ELOOP, "", true},    {"/fifo", 99, Refuse, EINVAL, "", false},
        {"/open", 99, Refuse, EINVAL, "", false},  {"/open/f", 99, Refuse, EACCES, "", false},
        {"/none", 99, Refuse, ENOENT, "", false},  {"/none/f", 99, Refuse, ENOENT, "", false},
        // clang-format on
    };
    for (const auto &c : cases) {
        std::string text = "stale";
        errno = 0;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(kx::read_product_file(root.at(c.file), c.cap, text, c.oversize), c.error == 0)
            << c.file;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.file;
        EXPECT_EQ(errno, c.error) << c.file;
        EXPECT_EQ(text, c.contents) << c.file;
        kxtest::DiagnosticsCapture diag;
        int fd = kx::open_trusted_tool(root.at(c.file));
        EXPECT_EQ(fd >= 0, c.tool) << c.file;
        EXPECT_EQ(diag.contains("not run: "), !c.tool) << c.file;
        if (fd >= 0)
            close(fd);
    }
}

// A link in a world-writable sticky directory (as /tmp is) may have been
// planted by anyone: only root's or our own is followed.
TEST(ProductFiles, ALinkOfAnotherUserOnTheWayIsNotFollowed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "making a link another user's needs root";
    kxtest::TestRoot root;
    root.write("/real/f", "x");
    root.make_dir("/sticky");
    chmod(root.at("/sticky").c_str(), 01777);
    for (const char *link : {"/sticky/ours", "/sticky/theirs"})
        ASSERT_EQ(symlink(root.at("/real").c_str(), root.at(link).c_str()), 0);
    ASSERT_EQ(lchown(root.at("/sticky/theirs").c_str(), 65534, 65534), 0);
    // Our own link into a directory that lies below another user's: that user
    // could swap what it reaches, so every directory of the target counts.
    root.write("/their/real/f", "x");
    ASSERT_EQ(chown(root.at("/their").c_str(), 65534, 65534), 0);
    ASSERT_EQ(symlink(root.at("/their/real").c_str(), root.at("/sticky/below-theirs").c_str()), 0);
    std::string text;
    EXPECT_TRUE(kx::read_product_file(root.at("/sticky/ours/f"), 9, text));
    kxtest::DiagnosticsCapture diag;
    EXPECT_FALSE(kx::read_product_file(root.at("/sticky/theirs/f"), 9, text));
    EXPECT_TRUE(diag.contains("is a link owned by another user")) << diag.all();
    EXPECT_EQ(kx::open_product_directory(root.at("/sticky/theirs")), -1);
    diag.clear();
    EXPECT_FALSE(kx::read_product_file(root.at("/sticky/below-theirs/f"), 9, text));
    EXPECT_TRUE(diag.contains(root.at("/their") + " is owned by another user")) << diag.all();
    EXPECT_EQ(kx::open_product_directory(root.at("/sticky/below-theirs")), -1);
}

TEST(ProductFiles, LineFilesRoundTripAndTheWriterNeverFollowsALink)
{
    kxtest::TestRoot root;
    std::string path = root.at("/lines");
    ASSERT_EQ(kx::array_to_file(path.c_str(), {"one\n", "", std::string(300, 'x') + "\n", "z"}), 0);
    std::vector<std::string> lines;
    ASSERT_EQ(kx::file_to_array(path.c_str(), lines), 4);
    EXPECT_EQ(lines, (std::vector<std::string>{"one\n", std::string(255, 'x'),
                                               std::string(45, 'x') + "\n", "z"}));
    ASSERT_EQ(kx::file_to_array(path.c_str(), lines, 1), 1);

    // A new file gets the process's mask, learnt without changing it, and is
    // not writable by others even where the process masks nothing.
    for (const auto &[mask, mode] : {std::pair{027u, 0640u}, std::pair{0u, 0644u}}) {
        pid_t child = fork();
        if (child == 0) {
            syscall(SYS_umask, mask);
            const std::string fresh = root.at("/new" + std::to_string(mask));
            const bool written = kx::array_to_file(fresh.c_str(), {"x"}) == 0 && umaskCalls == 0;
            struct stat st;
            _exit(written && stat(fresh.c_str(), &st) == 0 && (st.st_mode & 07777) == mode ? 0 : 1);
        }
        int exitStatus = -1;
        ASSERT_EQ(waitpid(child, &exitStatus, 0), child);
        EXPECT_EQ(exitStatus, 0) << "a new file under a mask of " << std::oct << mask;
    }

    root.write("/target", "kept");
    symlink(root.at("/target").c_str(), root.at("/linked").c_str());
    kxtest::DiagnosticsCapture diag;
    EXPECT_EQ(kx::array_to_file(root.at("/linked").c_str(), {"new"}), -1);
    EXPECT_EQ(root.read("/target"), "kept");
    EXPECT_TRUE(diag.contains("not written: not a regular file"));
}

// A replacement is the writer's and writable by nobody else, whoever owned
// the old file and however loose its mode; its read bits stay. What killed
// writers left beside the file goes with the write: only names of the
// writer's own pattern, regular files, and only those whose writer is gone
// and that lay still for a minute, or lay for an hour.
TEST(ProductFiles, AReplacementIsTheWritersOwnAndClearsWhatKilledWritersLeft)
{
    kxtest::TestRoot root;
    pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    const std::string gone = std::to_string(dead), alive = std::to_string(getppid());
    const struct {
        std::string name;
        int minutesOld;
        bool removed;
    } left[] = {
        {"data." + gone + ".0123456789ab", 2, true},
        {"data." + gone + ".0123456789ab0", 2, false},  // not our pattern
        {"data." + gone + ".0123456789ac", 0, false},   // its writer may have just died
        {"data." + alive + ".00000000000f", 2, false},  // its writer is still at it
        {"data." + alive + ".00000000000e", 61, true},
        {"data.abcdef012345", 2, true},                 // of a writer that wrote no number
        {"data.1234.xyz", 120, false},
        {"other." + gone + ".0123456789ab", 120, false},  // another file's
        {"data." + gone + ".fedcba987654/", 120, false},  // a directory
    };
    for (const auto &c : left) {
        std::string path = root.at("/" + c.name);
        if (c.name.back() == '/')
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        else
            root.write("/" + c.name, "left");
        const timespec then = {time(nullptr) - time_t{60} * c.minutesOld, 0};
        const timespec times[2] = {then, then};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    const bool asRoot = geteuid() == 0;
    const struct {
        mode_t mode;
        uid_t owner;  // 65534: nobody, when the test runs as root
        mode_t replaced;
    } cases[] = {
        {0666, 65534, 0644}, {0640, 0, 0640}, {0604, 65534, 0604}, {0620, 0, 0600},
        {04775, 65534, 0755}, {0444, 0, 0444},
    };
    const std::string path = root.at("/data");
    kxtest::DiagnosticsCapture diag;
    for (const auto &c : cases) {
        root.write("/data", "old", static_cast<int>(c.mode));
        if (asRoot) {
            ASSERT_EQ(chown(path.c_str(), c.owner, 65534), 0);
        }
        ASSERT_EQ(kx::array_to_file(path.c_str(), {"new"}), 0);
        EXPECT_EQ(root.read("/data"), "new");
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.replaced) << std::oct << c.mode;
        EXPECT_EQ(st.st_uid, geteuid()) << std::oct << c.mode;
        if (asRoot) {
            EXPECT_EQ(st.st_gid, 65534u) << "root keeps the group, which may only read";
        }
    }
    for (const auto &c : left) {
        struct stat st;
        EXPECT_EQ(lstat(root.at("/" + c.name).c_str(), &st) != 0, c.removed) << c.name;
    }
    EXPECT_TRUE(diag.contains("left by a writer that did not finish")) << diag.all();
}

TEST(ErrorCodes, EveryCodeHasItsOwnMessageFromACatalogueUnderTheRoot)
{
    std::set<std::string> messages = {"Undefined error code"};  // and each its own
#define KX_CHECK_MESSAGE(name, value, message)                \
    EXPECT_STREQ(kx::kx_err2str(name), message) << #name; \
    EXPECT_TRUE(*(message) && messages.insert(message).second) << #name;
    KX_ERRNO_MAP(KX_CHECK_MESSAGE)
#undef KX_CHECK_MESSAGE
    for (int code : {-21, 1, -34, 3, -1000, 1000, INT32_MIN, INT32_MAX})
        EXPECT_STREQ(kx::kx_err2str(code), "Undefined error code") << code;

    // The message catalogue is bound at load, and bound again under a new root.
    EXPECT_STREQ(bindtextdomain(kx::kMessageDomain, nullptr), "/opt/ZARNkx/lib/locale");
    {
        kxtest::TestRoot root;
        kx::kx_err2str_init();
        EXPECT_EQ(std::string(bindtextdomain(kx::kMessageDomain, nullptr)),
                  root.at("/opt/ZARNkx/lib/locale"));
    }
    kx::kx_err2str_init();
}

}  // namespace

// Counts calls of umask from anywhere in this program: the library must
// never change the process's file mode mask, not even for a moment.
extern "C" mode_t umask(mode_t mask) noexcept
{
    ++umaskCalls;
    return static_cast<mode_t>(syscall(SYS_umask, mask));
}
