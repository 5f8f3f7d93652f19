// Text, key/value, list and line-file helpers, and the error messages.
#include "admin_error.h"
#include "lib_gstatus.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <libintl.h>
#include <set>
#include <string>
#include <vector>

namespace {

// Owns a malloc()ed text and shows NULL as a distinct value.
std::string owned(char *text)
{
    std::string out = text ? text : "<null>";
    free(text);
    return out;
}

TEST(Text, StripRemovesBlanksTabsAndNewlinesOnly)
{
    EXPECT_EQ(owned(kx::strip_leading_and_trailing_whitespace(" \n")), "<null>");
    EXPECT_EQ(owned(kx::strip_leading_and_trailing_whitespace("")), "<null>");
    EXPECT_EQ(owned(kx::strip_leading_and_trailing_whitespace(nullptr)), "<null>");
    EXPECT_EQ(owned(kx::strip_leading_and_trailing_whitespace("  a \t")), "a");
    EXPECT_EQ(owned(kx::strip_leading_and_trailing_whitespace("\tx y\r\n")), "x y\r");
}

TEST(Text, KeyAndValue)
{
    char *k, *v;
    EXPECT_EQ(kx::parse_key_and_value("#a=b", &k, &v), 0);
    EXPECT_EQ(kx::parse_key_and_value("a", &k, &v), 0);
    EXPECT_EQ(kx::parse_key_and_value("no equals", &k, &v), 0);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(v, nullptr);

    ASSERT_EQ(kx::parse_key_and_value("key=\n", &k, &v), 1);
    EXPECT_EQ(owned(k), "key");
    EXPECT_EQ(owned(v), "<null>");
    ASSERT_EQ(kx::parse_key_and_value("=value", &k, &v), 1);
    EXPECT_EQ(owned(k), "<null>");
    EXPECT_EQ(owned(v), "value");
    ASSERT_EQ(kx::parse_key_and_value("  admin.subtree = o=x,dc=y \n", &k, &v), 1);
    EXPECT_EQ(owned(k), "admin.subtree");
    EXPECT_EQ(owned(v), "o=x,dc=y");

    std::string longLine = std::string(600, 'k') + "=" + std::string(600, 'v');
    ASSERT_EQ(kx::parse_key_and_value(longLine.c_str(), &k, &v), 1);
    EXPECT_EQ(owned(k).size(), 511u);
    EXPECT_EQ(owned(v).size(), 511u);
}

TEST(Text, FieldsSplitInPlaceAndNeverPastTheTable)
{
    char line[] = "two   words\n";
    char *fields[4];
    ASSERT_EQ(kx::make_fields(line, fields, 4), 2);
    EXPECT_STREQ(fields[0], "two");
    EXPECT_STREQ(fields[1], "words");

    char mixed[] = " \ta\vb\fc\rd\ne";
    ASSERT_EQ(kx::make_fields(mixed, fields, 4), 4);
    EXPECT_STREQ(fields[3], "d");

    std::string many;
    for (int i = 0; i < 500; ++i)
        many += "w ";
    char *few[3];
    EXPECT_EQ(kx::make_fields(many.data(), few, 3), 3);
    char empty[] = "   \n";
    EXPECT_EQ(kx::make_fields(empty, fields, 4), 0);
}

TEST(Text, NumericAndScramble)
{
    EXPECT_EQ(kx::is_numeric(""), 1);
    EXPECT_EQ(kx::is_numeric("0123"), 1);
    EXPECT_EQ(kx::is_numeric("12a"), 0);
    EXPECT_EQ(kx::is_numeric("-1"), 0);

    EXPECT_EQ(owned(kx::scramble_text("Hello, World-zZ 9")), "Uryyb, Jbeyq-mM 9");
    char *once = kx::scramble_text("s3cret Pass!");
    EXPECT_EQ(owned(kx::scramble_text(once)), "s3cret Pass!");
    free(once);
}

TEST(Text, DottedAddress)
{
    char buffer[16];
    ASSERT_EQ(kx::convert_to_dotted_format(0xC0A80114u, buffer), 0);
    EXPECT_STREQ(buffer, "192.168.1.20");
    ASSERT_EQ(kx::convert_to_dotted_format(0xFFFFFFFFu, buffer), 0);
    EXPECT_STREQ(buffer, "255.255.255.255");
}

std::vector<std::string> keys(kx::LinkedListNode *list)
{
    std::vector<std::string> out;
    for (; list; list = list->next)
        out.push_back(list->key);
    return out;
}

TEST(KeyedList, KeepsOrderAndPutsEqualKeysFirst)
{
    using V = std::vector<std::string>;
    kx::LinkedListNode *up = nullptr, *down = nullptr;
    for (const char *k : {"b", "a", "c"}) {
        ASSERT_EQ(kx::kx_addNode2List(&up, strdup(k), strdup(k), 0), 0);
        ASSERT_EQ(kx::kx_addNode2List(&down, strdup(k), strdup(k), 1), 0);
    }
    EXPECT_EQ(keys(up), (V{"a", "b", "c"}));
    EXPECT_EQ(keys(down), (V{"c", "b", "a"}));

    ASSERT_EQ(kx::kx_addNode2List(&up, strdup("a"), strdup("second a"), 0), 0);
    void *data = nullptr;
    ASSERT_EQ(kx::kx_findLinkedListNode(up, "a", &data), 0);
    EXPECT_STREQ(static_cast<char *>(data), "second a");
    EXPECT_EQ(kx::kx_findLinkedListNode(up, "zz", &data), -4);
    EXPECT_EQ(kx::kx_findLinkedListNode(nullptr, "a", &data), -6);

    char *key = strdup("k");
    EXPECT_EQ(kx::kx_addNode2List(&up, key, nullptr, 0), -6);
    EXPECT_EQ(kx::kx_addNode2List(&up, key, key, 2), -6);
    free(key);

    kx::kx_freeLinkedList(up, free);
    kx::kx_freeLinkedList(down, free);
    kx::kx_freeLinkedListNode(nullptr, free);
}

TEST(LineFiles, RoundTripSkipsEmptyEntriesAndSplitsLongLines)
{
    kxtest::TestRoot root;
    std::string path = root.at("/lines");
    ASSERT_EQ(kx::array_to_file(path.c_str(), {"one\n", "", "two\n", "three"}), 0);
    std::vector<std::string> lines;
    ASSERT_EQ(kx::file_to_array(path.c_str(), lines), 3);
    EXPECT_EQ(lines, (std::vector<std::string>{"one\n", "two\n", "three"}));

    std::string longLine = std::string(300, 'x') + "\n";
    ASSERT_EQ(kx::array_to_file(path.c_str(), {longLine}), 0);
    ASSERT_EQ(kx::file_to_array(path.c_str(), lines), 2);
    EXPECT_EQ(lines[0].size(), 255u);
    EXPECT_EQ(lines[1], std::string(45, 'x') + "\n");

    ASSERT_EQ(kx::file_to_array(path.c_str(), lines, 1), 1);
    EXPECT_EQ(kx::file_to_array(root.at("/missing").c_str(), lines), -1);
}

// ---- error codes ---------------------------------------------------------------

TEST(ErrorCodes, EveryCodeHasItsOwnMessage)
{
    std::set<std::string> messages;
#define KX_CHECK_MESSAGE(name, value, message)                      \
    EXPECT_STREQ(kx::kx_err2str(name), message) << #name;           \
    EXPECT_STRNE(message, "Undefined error code") << #name;         \
    EXPECT_TRUE(*(message) && messages.insert(message).second) << #name;
    KX_ERRNO_MAP(KX_CHECK_MESSAGE)
#undef KX_CHECK_MESSAGE
    for (int code : {-21, 1, -34, 3, -1000, 1000, INT32_MIN, INT32_MAX})
        EXPECT_STREQ(kx::kx_err2str(code), "Undefined error code") << code;
    EXPECT_STREQ(kx::kx_errNotPrivileged(),
                 "Administrator privilege is required to perform this activity");
}

TEST(ErrorCodes, CatalogueIsBoundAtLoadAndFollowsTheRoot)
{
    // Asking for the binding with NULL does not change it.
    const char *bound = bindtextdomain(kx::kMessageDomain, nullptr);
    ASSERT_NE(bound, nullptr);
    EXPECT_STREQ(bound, "/opt/ZARNkx/lib/locale");
    {
        kxtest::TestRoot root;
        kx::kx_err2str_init();
        EXPECT_EQ(std::string(bindtextdomain(kx::kMessageDomain, nullptr)),
                  root.at("/opt/ZARNkx/lib/locale"));
    }
    kx::kx_err2str_init();
}

TEST(ErrorCodes, SystemAndDirectoryErrorsMapOntoCodes)
{
    EXPECT_EQ(kx::kx_errno2kxerr(0, KX_EFILEACCESS), KX_SUCCESS);
    EXPECT_EQ(kx::kx_errno2kxerr(EPERM, KX_EFILEACCESS), KX_EFILEACCESS);
    EXPECT_EQ(kx::kx_errno2kxerr(ENOENT, KX_EINTERNAL), KX_ENOENT);
    EXPECT_EQ(kx::kx_errno2kxerr(ENOMEM, KX_EINTERNAL), KX_ENOMEM);
    EXPECT_EQ(kx::kx_errno2kxerr(EACCES, KX_EINTERNAL), KX_EPERM);
    EXPECT_EQ(kx::kx_errno2kxerr(EEXIST, KX_EINTERNAL), KX_EEXIST);

    EXPECT_EQ(kx::kx_dserr2kxerr(0), KX_SUCCESS);
    EXPECT_EQ(kx::kx_dserr2kxerr(10), KX_EREFERRAL);
    EXPECT_EQ(kx::kx_dserr2kxerr(50), KX_EPERM);
    EXPECT_EQ(kx::kx_dserr2kxerr(68), KX_EEXIST);
    EXPECT_EQ(kx::kx_dserr2kxerr(32), KX_EINTERNAL);
}

}  // namespace
