// The CLI's printing helpers on texts a file or a daemon may hand it.
#include "output.h"

#include <gtest/gtest.h>

namespace {

TEST(CliOutput, JsonTextsAreValidUtf8WhateverTheBytes)
{
    const struct {
        const char *input;
        const char *quoted;
    } cases[] = {
        {"M\xfcller", "\"M\\u00fcller\""},                       // Latin-1
        {"M\xc3\xbcller", "\"M\xc3\xbcller\""},                   // UTF-8 kept
        {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},             // four bytes kept
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},                       // overlong
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},            // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""}, // past U+10FFFF
        {"ab\xe2\x82", "\"ab\\u00e2\\u0082\""},                   // cut short
        {"\"\\\n\t\x1b\x7f", "\"\\\"\\\\\\n\\t\\u001b\\u007f\""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kxsmon::json_quote(c.input), c.quoted) << c.input;
}

TEST(CliOutput, PrometheusLabelsAndAges)
{
    kxsmon::Prom prom;
    prom.sample("m", {{"who", "a\"b\\c\nM\xfc"}}, 1);
    EXPECT_EQ(prom.str(), "m{who=\"a\\\"b\\\\c\\nM\xc3\xbc\"} 1\n");

    const struct {
        uint32_t seconds;
        const char *age;
        const char *duration;
    } cases[] = {
        {59, "59 s", "0 hours, 0 minutes"},
        {3600, "1 h", "1 hour, 0 minutes"},
        {3 * 86400 + 4 * 3600 + 12 * 60 + 5, "3 d 4 h", "3 days, 4 hours, 12 minutes"},
        {UINT32_MAX, "49710 d 6 h", "49710 days, 6 hours, 28 minutes"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kxsmon::age(c.seconds), c.age);
        EXPECT_EQ(kxsmon::duration_words(c.seconds), c.duration);
    }
}

}  // namespace
