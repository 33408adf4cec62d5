/*
 * rtl_string_test.cpp - the Rtl counted-string routines and NT's case
 * folding, checked against the NLS case table file when it is at hand.
 */
#include "simkernel/upcase.h"
#include "tests/support/kernel_test.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using qtest::OneViolation;
using qtest::ViolationsDuring;



/* A counted string of `chars` characters over text, in a buffer of
 * `maxChars` characters; whatever follows in text is beyond its Length. */
UNICODE_STRING Counted(const char16_t *text, size_t chars, size_t maxChars)
{
    return UNICODE_STRING{(USHORT)(chars * sizeof(WCHAR)), (USHORT)(maxChars * sizeof(WCHAR)),
                          (PWSTR)text};
}

UNICODE_STRING Counted(const char16_t *text, size_t chars)
{
    return Counted(text, chars, chars);
}

/* The characters a counted string describes. */
std::u16string Text(const UNICODE_STRING &s)
{
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

int Sign(LONG value)
{
    return (value > 0) - (value < 0);
}

int Compare(const char16_t *a, const char16_t *b, bool ignoreCase)
{
    UNICODE_STRING sa, sb;
    RtlInitUnicodeString(&sa, a);
    RtlInitUnicodeString(&sb, b);
    return Sign(RtlCompareUnicodeString(&sa, &sb, ignoreCase));
}

/* ---- NLS case table file ---------------------------------------------- */

/* NT's case tables as l_intl.nls holds them: a header word, the size in
 * words of the upcase table, the upcase table, then the downcase table.
 * Each table maps in three levels of 16-bit words, the last one a delta
 * added modulo 2^16. */
class NlsCaseFile {
public:
    /* The file named by QELMBAR_L_INTL_NLS, else one of the usual places.
     * A name in the variable that cannot be read is an error, not a reason
     * to skip: it is how CI hands the file over. */
    static std::optional<NlsCaseFile> Find(std::string *error)
    {
        std::vector<std::string> candidates;
        const char *env = getenv("QELMBAR_L_INTL_NLS");
        if (env && *env)
            candidates.push_back(env);
        else
            candidates = {"/usr/share/wine/nls/l_intl.nls", "/tmp/wx/usr/share/wine/nls/l_intl.nls"};
        for (const std::string &path : candidates) {
            std::ifstream in(path, std::ios::binary);
            if (!in) {
                if (env && *env)
                    *error = "QELMBAR_L_INTL_NLS names " + path + ", which cannot be read";
                continue;
            }
            std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                             std::istreambuf_iterator<char>());
            NlsCaseFile file;
            file.path_ = path;
            for (size_t i = 0; i + 1 < bytes.size(); i += 2)
                file.words_.push_back((uint16_t)(bytes[i] | (bytes[i + 1] << 8)));
            return file;
        }
        return std::nullopt;
    }

    const std::string &Path() const { return path_; }

    /* False when the file does not hold a whole table at that point. */
    bool Upcase(uint16_t c, uint16_t *mapped) const { return Map(2, c, mapped); }
    bool Downcase(uint16_t c, uint16_t *mapped) const
    {
        return words_.size() > 2 && Map(2 + (size_t)words_[1], c, mapped);
    }

private:
    bool Map(size_t base, uint16_t c, uint16_t *mapped) const
    {
        auto at = [&](size_t index, uint16_t *value) {
            if (base + index >= words_.size())
                return false;
            *value = words_[base + index];
            return true;
        };
        uint16_t first, second, delta;
        if (!at(c >> 8, &first) || !at((size_t)first + ((c >> 4) & 15), &second) ||
            !at((size_t)second + (c & 15), &delta))
            return false;
        *mapped = (uint16_t)(c + delta);
        return true;
    }

    std::string path_;
    std::vector<uint16_t> words_;
};

/* ---- RtlInitUnicodeString --------------------------------------------- */

class RtlStringTest : public qtest::KernelTest {};

TEST_F(RtlStringTest, InitCountsUpToTheFirstNul)
{
    static const char16_t text[] = u"abc\0def";
    UNICODE_STRING s = {99, 99, nullptr};
    RtlInitUnicodeString(&s, text);
    EXPECT_EQ(s.Length, 6u);
    EXPECT_EQ(s.MaximumLength, 8u);
    EXPECT_EQ(s.Buffer, text) << "the string is described, not copied";

    RtlInitUnicodeString(&s, u"");
    EXPECT_EQ(s.Length, 0u);
    EXPECT_EQ(s.MaximumLength, 2u);

    s = {99, 99, (PWSTR)text};
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0u);
    EXPECT_EQ(s.MaximumLength, 0u);
    EXPECT_EQ(s.Buffer, nullptr);
}

TEST_F(RtlStringTest, InitCapsALongStringSoThatMaximumLengthFits)
{
    struct Case {
        size_t chars;
        USHORT length, maximum;
    };
    for (const Case &c : {Case{0x7FFD, 0xFFFA, 0xFFFC}, Case{0x7FFE, 0xFFFC, 0xFFFE},
                          Case{0x7FFF, 0xFFFC, 0xFFFE}, Case{0x9000, 0xFFFC, 0xFFFE}}) {
        std::u16string text(c.chars, u'a');
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, text.c_str());
        EXPECT_EQ(s.Length, c.length) << c.chars << " characters";
        EXPECT_EQ(s.MaximumLength, c.maximum) << c.chars << " characters";
    }
}

TEST_F(RtlStringTest, InitWithoutDestinationIsViolation)
{
    EXPECT_TRUE(OneViolation(ViolationsDuring([] { RtlInitUnicodeString(nullptr, u"x"); }),
                             "null destination"));
}

/* ---- Comparison ------------------------------------------------------- */

TEST_F(RtlStringTest, CompareGivesSignAndZero)
{
    for (bool ignoreCase : {false, true}) {
        SCOPED_TRACE(ignoreCase ? "ignoring case" : "case sensitive");
        EXPECT_EQ(Compare(u"abc", u"abc", ignoreCase), 0);
        EXPECT_EQ(Compare(u"abc", u"abd", ignoreCase), -1);
        EXPECT_EQ(Compare(u"abd", u"abc", ignoreCase), 1);
        /* A proper prefix sorts first. */
        EXPECT_EQ(Compare(u"ab", u"abc", ignoreCase), -1);
        EXPECT_EQ(Compare(u"abc", u"ab", ignoreCase), 1);
        EXPECT_EQ(Compare(u"", u"a", ignoreCase), -1);
        EXPECT_EQ(Compare(u"", u"", ignoreCase), 0);
        /* Code units compare unsigned. */
        EXPECT_EQ(Compare(u"\xFFFF", u"a", ignoreCase), 1);
        EXPECT_EQ(Compare(u"\x8000", u"\x7FFF", ignoreCase), 1);
    }
}

TEST_F(RtlStringTest, CompareFoldsCaseOnlyWhenAsked)
{
    EXPECT_EQ(Compare(u"ABC", u"abc", false), -1);
    EXPECT_EQ(Compare(u"abc", u"ABC", false), 1);
    EXPECT_EQ(Compare(u"ABC", u"abc", true), 0);
    EXPECT_EQ(Compare(u"Straße", u"STRASSE", true), 1) << "no expansion of sharp s";
    /* Ignoring case compares upper case: '_' (0x5F) sorts after 'A'
     * (0x41), though before 'a' (0x61). */
    EXPECT_EQ(Compare(u"_", u"a", true), 1);
    EXPECT_EQ(Compare(u"_", u"a", false), -1);
}

TEST_F(RtlStringTest, ComparisonsNeverReadPastLength)
{
    /* What follows Length differs in every pair and has no NUL soon. */
    UNICODE_STRING a = Counted(u"abcXXXX", 3);
    UNICODE_STRING b = Counted(u"abcYYYY", 3);
    UNICODE_STRING upperB = Counted(u"ABCZZZZ", 3);
    for (bool ignoreCase : {false, true}) {
        EXPECT_EQ(RtlCompareUnicodeString(&a, &b, ignoreCase), 0);
        EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, ignoreCase));
        EXPECT_TRUE(RtlPrefixUnicodeString(&a, &b, ignoreCase));
    }
    EXPECT_EQ(RtlCompareUnicodeString(&a, &upperB, TRUE), 0);
    EXPECT_TRUE(RtlEqualUnicodeString(&upperB, &a, TRUE));

    /* The shorter string is less even where the character beyond its
     * Length would have made it greater. */
    UNICODE_STRING shortOne = Counted(u"abz", 2);
    UNICODE_STRING longOne = Counted(u"abc", 3);
    EXPECT_LT(RtlCompareUnicodeString(&shortOne, &longOne, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&longOne, &shortOne, FALSE), 0);
    EXPECT_FALSE(RtlEqualUnicodeString(&shortOne, &longOne, FALSE));

    /* Buffers of exactly Length bytes, without a NUL: a sanitizer build
     * catches any read beyond them. */
    std::unique_ptr<WCHAR[]> x(new WCHAR[3]{u'k', u'e', u'y'});
    std::unique_ptr<WCHAR[]> y(new WCHAR[3]{u'K', u'E', u'Y'});
    UNICODE_STRING sx = {6, 6, x.get()};
    UNICODE_STRING sy = {6, 6, y.get()};
    EXPECT_EQ(RtlCompareUnicodeString(&sx, &sy, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&sx, &sy, FALSE), 0);
    EXPECT_TRUE(RtlEqualUnicodeString(&sx, &sy, TRUE));
    EXPECT_TRUE(RtlPrefixUnicodeString(&sx, &sy, TRUE));

    /* An empty string needs no buffer at all. */
    UNICODE_STRING empty = {0, 0, nullptr};
    EXPECT_LT(RtlCompareUnicodeString(&empty, &sx, FALSE), 0);
    EXPECT_TRUE(RtlPrefixUnicodeString(&empty, &sx, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&empty, &sx, TRUE));
}

TEST_F(RtlStringTest, EqualNeedsEqualLengths)
{
    UNICODE_STRING ab = Counted(u"ab", 2);
    UNICODE_STRING abc = Counted(u"abc", 3);
    UNICODE_STRING upperAb = Counted(u"AB", 2);
    EXPECT_FALSE(RtlEqualUnicodeString(&ab, &abc, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&abc, &ab, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&ab, &upperAb, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&ab, &upperAb, TRUE));
}

TEST_F(RtlStringTest, EqualIgnoringCaseFollowsNtFolding)
{
    /* Final sigma has no upper case in NT's table, so it matches neither
     * capital sigma nor the ordinary small sigma. */
    UNICODE_STRING capital = Counted(u"ΟΔΟΣ", 4);
    UNICODE_STRING small = Counted(u"οδοσ", 4);
    UNICODE_STRING final = Counted(u"οδος", 4);
    EXPECT_TRUE(RtlEqualUnicodeString(&capital, &small, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&capital, &final, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&small, &final, TRUE));
    /* Dotless i does not fold to I, nor dotted capital I to i. */
    UNICODE_STRING dotless = Counted(u"\u0131", 1);
    UNICODE_STRING dotted = Counted(u"\u0130", 1);
    UNICODE_STRING capitalI = Counted(u"I", 1);
    UNICODE_STRING smallI = Counted(u"i", 1);
    EXPECT_FALSE(RtlEqualUnicodeString(&dotless, &capitalI, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&dotted, &smallI, TRUE));
    EXPECT_TRUE(RtlEqualUnicodeString(&smallI, &capitalI, TRUE));
}

TEST_F(RtlStringTest, PrefixIsTheFirstStringOfTheSecond)
{
    UNICODE_STRING ab = Counted(u"ab", 2);
    UNICODE_STRING abc = Counted(u"abc", 3);
    UNICODE_STRING upperAb = Counted(u"AB", 2);
    UNICODE_STRING ax = Counted(u"ax", 2);
    EXPECT_TRUE(RtlPrefixUnicodeString(&ab, &abc, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&abc, &ab, FALSE)) << "a longer prefix is none";
    EXPECT_FALSE(RtlPrefixUnicodeString(&abc, &ab, TRUE));
    EXPECT_TRUE(RtlPrefixUnicodeString(&abc, &abc, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&upperAb, &abc, FALSE));
    EXPECT_TRUE(RtlPrefixUnicodeString(&upperAb, &abc, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&ax, &abc, TRUE));
    /* "ab" over a buffer that goes on with "c" is still only "ab". */
    UNICODE_STRING abOverAbc = Counted(u"abc", 2);
    EXPECT_FALSE(RtlPrefixUnicodeString(&abc, &abOverAbc, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&abc, &abOverAbc, TRUE));
}

TEST_F(RtlStringTest, MalformedStringsAreViolations)
{
    UNICODE_STRING good = Counted(u"abcd", 4);
    const struct {
        const char *what;
        UNICODE_STRING s;
    } bad[] = {
        {"odd Length", {3, 8, (PWSTR)u"abcd"}},
        {"odd MaximumLength", {2, 7, (PWSTR)u"abcd"}},
        {"Length above MaximumLength", {8, 6, (PWSTR)u"abcd"}},
        {"no buffer", {2, 2, nullptr}},
    };
    for (const auto &c : bad) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(OneViolation(ViolationsDuring([&] {
                                     RtlCompareUnicodeString(&c.s, &good, FALSE);
                                 }),
                                 "RtlCompareUnicodeString"));
        EXPECT_TRUE(OneViolation(ViolationsDuring([&] {
                                     RtlEqualUnicodeString(&good, &c.s, TRUE);
                                 }),
                                 "RtlEqualUnicodeString"));
        EXPECT_TRUE(OneViolation(ViolationsDuring([&] {
                                     RtlPrefixUnicodeString(&c.s, &good, TRUE);
                                 }),
                                 "RtlPrefixUnicodeString"));
    }
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { RtlCompareUnicodeString(nullptr, &good, 0); }),
                             "null string"));
}

/* ---- Copy and append -------------------------------------------------- */

/* A destination of 6 characters inside a buffer of 8: the last two are
 * beyond MaximumLength and must never be written. */
struct Destination {
    WCHAR buffer[8];
    UNICODE_STRING s;

    explicit Destination(const char16_t *initial = u"")
    {
        for (WCHAR &c : buffer)
            c = u'#';
        size_t n = 0;
        while (initial[n]) {
            buffer[n] = initial[n];
            n++;
        }
        s = {(USHORT)(n * sizeof(WCHAR)), 6 * sizeof(WCHAR), buffer};
    }
    std::u16string All() const { return std::u16string(buffer, 8); }
};

TEST_F(RtlStringTest, CopyTerminatesOnlyWhenThereIsRoom)
{
    Destination d;
    UNICODE_STRING abc = Counted(u"abcXYZ", 3);
    RtlCopyUnicodeString(&d.s, &abc);
    EXPECT_EQ(d.s.Length, 6u);
    EXPECT_EQ(d.All(), std::u16string(u"abc\0####", 8));

    Destination exact;
    UNICODE_STRING six = Counted(u"abcdef", 6);
    RtlCopyUnicodeString(&exact.s, &six);
    EXPECT_EQ(exact.s.Length, 12u);
    EXPECT_EQ(exact.All(), u"abcdef##") << "no NUL without room for it";

    Destination empty(u"old");
    UNICODE_STRING none = Counted(u"zzz", 0);
    RtlCopyUnicodeString(&empty.s, &none);
    EXPECT_EQ(empty.s.Length, 0u);
    EXPECT_EQ(empty.All(), std::u16string(u"\0ld#####", 8));
}

TEST_F(RtlStringTest, CopyTruncatesToMaximumLength)
{
    Destination d(u"old");
    UNICODE_STRING longer = Counted(u"abcdefgh", 8);
    RtlCopyUnicodeString(&d.s, &longer);
    EXPECT_EQ(d.s.Length, 12u);
    EXPECT_EQ(d.s.MaximumLength, 12u);
    EXPECT_EQ(d.s.Buffer, d.buffer);
    EXPECT_EQ(d.All(), u"abcdef##");
}

TEST_F(RtlStringTest, CopyFromNullSourceEmptiesTheDestinationOnly)
{
    Destination d(u"abcd");
    RtlCopyUnicodeString(&d.s, nullptr);
    EXPECT_EQ(d.s.Length, 0u);
    EXPECT_EQ(d.s.MaximumLength, 12u);
    EXPECT_EQ(d.s.Buffer, d.buffer);
    EXPECT_EQ(d.All(), u"abcd####") << "the buffer is not touched";
}

TEST_F(RtlStringTest, AppendUnicodeToString)
{
    Destination d(u"ab");
    EXPECT_STATUS(STATUS_SUCCESS, RtlAppendUnicodeToString(&d.s, u"cd"));
    EXPECT_EQ(Text(d.s), u"abcd");
    EXPECT_EQ(d.All(), std::u16string(u"abcd\0###", 8));

    /* The source's own NUL needs no room. */
    EXPECT_STATUS(STATUS_SUCCESS, RtlAppendUnicodeToString(&d.s, u"ef"));
    EXPECT_EQ(d.s.Length, 12u);
    EXPECT_EQ(d.All(), u"abcdef##");

    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeToString(&d.s, u"g"));
    EXPECT_EQ(d.s.Length, 12u);
    EXPECT_EQ(d.All(), u"abcdef##");

    EXPECT_STATUS(STATUS_SUCCESS, RtlAppendUnicodeToString(&d.s, u""));
    EXPECT_STATUS(STATUS_SUCCESS, RtlAppendUnicodeToString(&d.s, nullptr));
    EXPECT_EQ(d.s.Length, 12u);
    EXPECT_EQ(d.All(), u"abcdef##");
}

TEST_F(RtlStringTest, AppendThatDoesNotFitChangesNothing)
{
    Destination d(u"ab");
    d.buffer[2] = u'!'; /* beyond Length, inside MaximumLength */
    const std::u16string before = d.All();
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeToString(&d.s, u"cdefg"));
    EXPECT_EQ(d.s.Length, 4u);
    EXPECT_EQ(d.All(), before);

    UNICODE_STRING source = Counted(u"cdefg", 5);
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeStringToString(&d.s, &source));
    EXPECT_EQ(d.s.Length, 4u);
    EXPECT_EQ(d.s.MaximumLength, 12u);
    EXPECT_EQ(d.All(), before);
}

TEST_F(RtlStringTest, AppendUnicodeStringToStringTakesOnlyTheSourceLength)
{
    Destination d(u"ab");
    UNICODE_STRING source = Counted(u"cdXY", 2);
    EXPECT_STATUS(STATUS_SUCCESS, RtlAppendUnicodeStringToString(&d.s, &source));
    EXPECT_EQ(Text(d.s), u"abcd");
    EXPECT_EQ(d.All(), std::u16string(u"abcd\0###", 8));

    UNICODE_STRING exact = Counted(u"efXY", 2);
    EXPECT_STATUS(STATUS_SUCCESS, RtlAppendUnicodeStringToString(&d.s, &exact));
    EXPECT_EQ(d.All(), u"abcdef##");

    UNICODE_STRING nothing = {0, 0, nullptr};
    EXPECT_STATUS(STATUS_SUCCESS, RtlAppendUnicodeStringToString(&d.s, &nothing));
    EXPECT_EQ(d.s.Length, 12u);
    EXPECT_EQ(d.All(), u"abcdef##");
}

TEST_F(RtlStringTest, DestinationWithoutBufferIsViolation)
{
    UNICODE_STRING source = Counted(u"ab", 2);
    UNICODE_STRING nowhere = {0, 8, nullptr};
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { RtlCopyUnicodeString(&nowhere, &source); }),
                             "RtlCopyUnicodeString"));
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_TRUE(OneViolation(
        ViolationsDuring([&] { status = RtlAppendUnicodeToString(&nowhere, u"ab"); }),
        "RtlAppendUnicodeToString"));
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_TRUE(OneViolation(
        ViolationsDuring([&] { status = RtlAppendUnicodeStringToString(&nowhere, &source); }),
        "RtlAppendUnicodeStringToString"));
    EXPECT_FALSE(NT_SUCCESS(status));

    /* An empty destination with no buffer at all is fine. */
    UNICODE_STRING empty = {0, 0, nullptr};
    UNICODE_STRING none = {0, 0, nullptr};
    RtlCopyUnicodeString(&empty, &none);
    EXPECT_STATUS(STATUS_SUCCESS, RtlAppendUnicodeStringToString(&empty, &none));
    EXPECT_EQ(empty.Length, 0u);
}

/* ---- _wcsicmp --------------------------------------------------------- */

TEST_F(RtlStringTest, WcsicmpComparesLowerCaseUpToTheNul)
{
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    EXPECT_EQ(sign(_wcsicmp(u"Registry", u"REGISTRY")), 0);
    EXPECT_EQ(sign(_wcsicmp(u"abc", u"ABD")), -1);
    EXPECT_EQ(sign(_wcsicmp(u"ABD", u"abc")), 1);
    EXPECT_EQ(sign(_wcsicmp(u"ab", u"ABC")), -1);
    EXPECT_EQ(sign(_wcsicmp(u"ABC", u"ab")), 1);
    EXPECT_EQ(sign(_wcsicmp(u"", u"")), 0);
    /* Lower case, unlike RtlCompareUnicodeString: '_' (0x5F) sorts before
     * 'a' (0x61) whatever the case of the letter. */
    EXPECT_EQ(sign(_wcsicmp(u"_", u"A")), -1);
    EXPECT_EQ(sign(_wcsicmp(u"_", u"a")), -1);
    EXPECT_EQ(Compare(u"_", u"A", true), 1);
    /* Nothing after the NUL counts. */
    EXPECT_EQ(sign(_wcsicmp(u"ab\0x", u"AB\0y")), 0);
}

/* ---- Case folding ----------------------------------------------------- */

struct Folding {
    char16_t c;
    char16_t upper;
    char16_t lower;
    const char *note;
};

/* Where NT's table parts from the C library's towupper and towlower, and
 * a few ordinary letters for contrast. */
const Folding kFoldings[] = {
    {u'a', u'A', u'a', "ASCII"},
    {u'Z', u'Z', u'z', "ASCII"},
    {u'_', u'_', u'_', "no letter"},
    {u'1', u'1', u'1', "no letter"},
    {0x00E9, 0x00C9, 0x00E9, "e acute"},
    {0x00FF, 0x0178, 0x00FF, "y diaeresis leaves Latin-1"},
    {0x0178, 0x0178, 0x00FF, "capital Y diaeresis"},
    {0x00DF, 0x00DF, 0x00DF, "sharp s has no single upper case"},
    {0x1E9E, 0x1E9E, 0x1E9E, "capital sharp s is not lowered"},
    {0x00B5, 0x00B5, 0x00B5, "micro sign stays"},
    {0x017F, 0x017F, 0x017F, "long s stays"},
    {0x0131, 0x0131, 0x0131, "dotless i stays"},
    {0x0130, 0x0130, 0x0130, "capital I with dot stays"},
    {u'i', u'I', u'i', "no Turkish rule"},
    {0x03C2, 0x03C2, 0x03C2, "final sigma stays"},
    {0x03C3, 0x03A3, 0x03C3, "small sigma"},
    {0x03A3, 0x03A3, 0x03C3, "capital sigma"},
    {0x01C4, 0x01C4, 0x01C6, "DZ with caron"},
    {0x01C5, 0x01C5, 0x01C5, "title-case Dz stays"},
    {0x01C6, 0x01C4, 0x01C6, "dz with caron"},
    {0x212A, 0x212A, 0x212A, "Kelvin sign is not lowered"},
    {0x2126, 0x2126, 0x2126, "Ohm sign is not lowered"},
    {0xFF41, 0xFF21, 0xFF41, "fullwidth a"},
    {0x24D0, 0x24B6, 0x24D0, "circled a"},
    {0xD801, 0xD801, 0xD801, "surrogates stay"},
};

TEST_F(RtlStringTest, UpcaseAndDowncaseFollowNtTable)
{
    for (const Folding &f : kFoldings) {
        SCOPED_TRACE(f.note);
        EXPECT_EQ((unsigned)RtlUpcaseUnicodeChar(f.c), (unsigned)f.upper) << std::hex << (unsigned)f.c;
        EXPECT_EQ((unsigned)sk::Upcase((WCHAR)f.c), (unsigned)f.upper) << std::hex << (unsigned)f.c;
        EXPECT_EQ((unsigned)sk::Downcase((WCHAR)f.c), (unsigned)f.lower) << std::hex << (unsigned)f.c;
    }
}

TEST_F(RtlStringTest, ExpectedFoldingsAgreeWithTheTableFile)
{
    std::string error;
    std::optional<NlsCaseFile> file = NlsCaseFile::Find(&error);
    if (!error.empty())
        FAIL() << error;
    if (!file)
        GTEST_SKIP() << "l_intl.nls not found; set QELMBAR_L_INTL_NLS to its path";
    for (const Folding &f : kFoldings) {
        SCOPED_TRACE(f.note);
        uint16_t upper = 0, lower = 0;
        ASSERT_TRUE(file->Upcase(f.c, &upper)) << file->Path() << " is no case table";
        ASSERT_TRUE(file->Downcase(f.c, &lower)) << file->Path() << " is no case table";
        EXPECT_EQ(upper, (uint16_t)f.upper) << std::hex << (unsigned)f.c;
        EXPECT_EQ(lower, (uint16_t)f.lower) << std::hex << (unsigned)f.c;
    }
}

TEST_F(RtlStringTest, FoldingMatchesTheTableFileForEveryCodeUnit)
{
    std::string error;
    std::optional<NlsCaseFile> file = NlsCaseFile::Find(&error);
    if (!error.empty())
        FAIL() << error;
    if (!file)
        GTEST_SKIP() << "l_intl.nls not found; set QELMBAR_L_INTL_NLS to its path";
    size_t upcaseMismatches = 0, downcaseMismatches = 0, folded = 0;
    for (uint32_t c = 0; c <= 0xFFFF; c++) {
        uint16_t upper = 0, lower = 0;
        ASSERT_TRUE(file->Upcase((uint16_t)c, &upper)) << file->Path() << " is no case table";
        ASSERT_TRUE(file->Downcase((uint16_t)c, &lower)) << file->Path() << " is no case table";
        WCHAR gotUpper = RtlUpcaseUnicodeChar((WCHAR)c);
        WCHAR gotLower = sk::Downcase((WCHAR)c);
        if (gotUpper != upper && upcaseMismatches++ < 10)
            ADD_FAILURE() << std::hex << "RtlUpcaseUnicodeChar(0x" << c << ") = 0x"
                          << (unsigned)gotUpper << ", table says 0x" << upper;
        if (gotLower != lower && downcaseMismatches++ < 10)
            ADD_FAILURE() << std::hex << "Downcase(0x" << c << ") = 0x" << (unsigned)gotLower
                          << ", table says 0x" << lower;
        folded += upper != c;
    }
    EXPECT_EQ(upcaseMismatches, 0u);
    EXPECT_EQ(downcaseMismatches, 0u);
    /* A file of identity tables would prove nothing. */
    EXPECT_GT(folded, 1000u) << file->Path();
}

TEST_F(RtlStringTest, StringHelpersFoldAsTheRtlRoutines)
{
    EXPECT_EQ(sk::Upcase(std::u16string(u"Schlüssel ς")), u"SCHLÜSSEL ς");
    EXPECT_GT(sk::CompareIgnoringCase(u"_", u"a"), 0);
    EXPECT_LT(sk::CompareIgnoringCase(u"ab", u"ABC"), 0);
    EXPECT_TRUE(sk::EqualIgnoringCase(u"Services", u"SERVICES"));
    EXPECT_FALSE(sk::EqualIgnoringCase(u"Service", u"SERVICES"));
    EXPECT_FALSE(sk::EqualIgnoringCase(u"οδος", u"ΟΔΟΣ"));
}

} // namespace
