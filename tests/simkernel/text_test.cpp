/*
 * text_test.cpp - the shared text helpers of simkernel/text.h: one rule
 * each for lone surrogates, malformed UTF-8, empty key-path components and
 * the NT epoch.
 */
#include "simkernel/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(TextUtf8Test, PairsBecomeOneCodePointAndLoneSurrogatesBecomeReplacementCharacters)
{
    EXPECT_EQ(sk::Utf8FromUtf16(u"A\u00E9\u20AC\xD83D\xDE00"), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    const std::string replacement = "\xEF\xBF\xBD";
    /* A high surrogate at the end, before a non-surrogate, before another
     * high one; a low surrogate alone and before its high partner. */
    EXPECT_EQ(sk::Utf8FromUtf16(u"a\xD83D"), "a" + replacement);
    EXPECT_EQ(sk::Utf8FromUtf16(u"\xD83D" "b"), replacement + "b");
    EXPECT_EQ(sk::Utf8FromUtf16(u"\xD83D\xD83D\xDE00"), replacement + "\xF0\x9F\x98\x80");
    EXPECT_EQ(sk::Utf8FromUtf16(u"\xDE00"), replacement);
    EXPECT_EQ(sk::Utf8FromUtf16(u"\xDE00\xD83D"), replacement + replacement);
    EXPECT_EQ(sk::Utf8FromUtf16(u""), "");
}

TEST(TextUtf8Test, OnlyWellFormedUtf8IsReadAndAFailureSaysWhere)
{
    EXPECT_EQ(sk::Utf16FromUtf8("A\xC3\xA9\xF0\x9F\x98\x80"), u"A\u00E9\xD83D\xDE00"s);
    EXPECT_EQ(sk::Utf16FromUtf8(std::string("a\0b", 3)), u"a\0b"s);
    struct Case {
        std::string bytes;
        size_t failedAt;
    };
    const Case refused[] = {
        { "ab\xC0\x80", 2 },          /* overlong NUL */
        { "\xE0\x80\x80", 0 },        /* overlong three bytes */
        { "x\xED\xA0\x80", 1 },       /* a surrogate */
        { "\xF4\x90\x80\x80", 0 },    /* past U+10FFFF */
        { "ok\xE2\x82", 2 },          /* cut short */
        { "\x80", 0 },                /* a lone continuation byte */
        { "\xC3\x28", 0 },            /* a missing continuation byte */
        { "\xF8\x88\x80\x80\x80", 0 }, /* five bytes */
    };
    for (const Case &c : refused) {
        size_t failedAt = 99;
        EXPECT_FALSE(sk::Utf16FromUtf8(c.bytes, &failedAt).has_value()) << c.failedAt;
        EXPECT_EQ(failedAt, c.failedAt);
    }
}

TEST(TextKeyPathTest, EmptyComponentsAreDroppedWhereverTheyStand)
{
    using Parts = std::vector<std::u16string>;
    EXPECT_EQ(sk::SplitKeyPath(u"ControlSet001\\Services\\Qelmbar"),
              (Parts{ u"ControlSet001", u"Services", u"Qelmbar" }));
    EXPECT_EQ(sk::SplitKeyPath(u"\\A\\\\B\\"), (Parts{ u"A", u"B" }));
    EXPECT_EQ(sk::SplitKeyPath(u""), Parts{});
    EXPECT_EQ(sk::SplitKeyPath(u"\\\\"), Parts{});
    EXPECT_EQ(sk::JoinKeyPath(sk::SplitKeyPath(u"\\\\Software\\\\App\\")), u"Software\\App");
    EXPECT_EQ(sk::JoinKeyPath({}), u"");
}

TEST(TextTimeTest, NtTimeCountsHundredNanosecondsFrom1601)
{
    EXPECT_EQ(sk::NtTimeFromUnix(timespec{ 0, 0 }), 116444736000000000LL);
    EXPECT_EQ(sk::NtTimeFromUnix(timespec{ 1, 199 }), 116444736000000000LL + 10000000LL + 1);
    /* 1601-01-01 itself. */
    EXPECT_EQ(sk::NtTimeFromUnix(timespec{ -11644473600LL, 0 }), 0);
}

} // namespace
