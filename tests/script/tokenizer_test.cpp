/*
 * tokenizer_test.cpp - tokens of the script language, the bounds they are
 * read within, and who owns their text.
 */
#include "tests/script/script_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using qtest::Text;

class TokenizerTest : public qtest::KernelTest {
protected:
    /* Tokenizes a whole string; the length bound is the string's size. */
    Token Next(const std::u16string &text, ULONG *position)
    {
        return NextToken(text.c_str(), (ULONG)text.size(), position);
    }
};

/* A word scan without its text or its position gives no token and
 * touches neither. */
TEST_F(TokenizerTest, AWordScanWithoutTextOrPositionGivesNoToken)
{
    const std::u16string text(u"CopyFile");
    ULONG position = 0;
    EXPECT_EQ(ScanWord(nullptr, (ULONG)text.size(), &position).Kind, TokenNone);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(ScanWord(text.c_str(), (ULONG)text.size(), nullptr).Kind, TokenNone);
    EXPECT_EQ(ScanWord(text.c_str(), (ULONG)text.size(), &position).Kind, TokenKeywordFirst + OperationCopyFile);
}

TEST_F(TokenizerTest, KeywordsAndBooleansIgnoreCase)
{
    for (const char16_t *spelling : { u"CopyFile", u"copyfile", u"COPYFILE", u"cOpYfIlE" }) {
        ULONG position = 0;
        std::u16string text(spelling);
        Token token = Next(text, &position);
        EXPECT_EQ(token.Kind, TokenKeywordFirst + OperationCopyFile);
        EXPECT_EQ(position, 8u);
    }
    std::u16string last(u"renamevalue");
    ULONG position = 0;
    EXPECT_EQ(Next(last, &position).Kind, (TokenKind)25);

    for (const char16_t *spelling : { u"true", u"TRUE", u"tRuE" }) {
        ULONG at = 0;
        Token token = Next(spelling, &at);
        EXPECT_EQ(token.Kind, TokenBoolean);
        EXPECT_EQ(token.Value, 1);
    }
    ULONG at = 0;
    Token token = Next(u"False", &at);
    EXPECT_EQ(token.Kind, TokenBoolean);
    EXPECT_EQ(token.Value, 0);
}

TEST_F(TokenizerTest, OtherWordsAreCopiedAndOwnedByTheCaller)
{
    for (const char16_t *spelling : { u"CopyFile2", u"CopyFile_", u"Copy_File", u"_x9" }) {
        ULONG position = 0;
        std::u16string text(spelling);
        Token token = Next(text, &position);
        ASSERT_EQ(token.Kind, TokenWord);
        EXPECT_EQ(Text(token.Text), text);
        EXPECT_EQ(token.Text.Length, token.Text.MaximumLength);
        EXPECT_NE(token.Text.Buffer, text.c_str());
        EXPECT_EQ(sk::PoolOutstandingBlocks(), 1u);
        ReleaseToken(&token);
        EXPECT_EQ(token.Text.Buffer, nullptr);
        ReleaseToken(&token); /* a released token owns nothing any more */
    }
}

TEST_F(TokenizerTest, CharactersThatStartNoTokenLeaveThePosition)
{
    for (const char16_t *text : { u"  9abc", u"  \\x", u"  \r", u"  \n", u"  -", u"  \u00e9" }) {
        ULONG position = 0;
        std::u16string s(text);
        EXPECT_EQ(Next(s, &position).Kind, TokenNone) << qtest::U8(s);
        EXPECT_EQ(position, 2u) << "blanks are passed, the bad character is not";
        EXPECT_EQ(Next(s, &position).Kind, TokenNone);
        EXPECT_EQ(position, 2u);
    }
    ULONG position = 0;
    EXPECT_EQ(NextToken(nullptr, 10, &position).Kind, TokenNone);
}

TEST_F(TokenizerTest, QuotedStringsKeepEverythingBetweenTheQuotes)
{
    std::u16string text(u"\"\\??\\C:\\Program Files\\a, (b).txt\" ,");
    ULONG position = 0;
    Token token = Next(text, &position);
    ASSERT_EQ(token.Kind, TokenString);
    EXPECT_EQ(Text(token.Text), u"\\??\\C:\\Program Files\\a, (b).txt");
    EXPECT_EQ(Next(text, &position).Kind, TokenComma);
    ReleaseToken(&token);
}

TEST_F(TokenizerTest, EmptyQuotedStringAllocatesNothing)
{
    std::u16string text(u"\"\")");
    ULONG position = 0;
    uint64_t before = sk::AllocationCount();
    Token token = Next(text, &position);
    EXPECT_EQ(token.Kind, TokenString);
    EXPECT_EQ(token.Text.Buffer, nullptr);
    EXPECT_EQ(token.Text.Length, 0);
    EXPECT_EQ(token.Text.MaximumLength, 0);
    EXPECT_EQ(sk::AllocationCount(), before);
    EXPECT_EQ(position, 2u);
    EXPECT_EQ(Next(text, &position).Kind, TokenCloseParen);
}

TEST_F(TokenizerTest, UnterminatedStringStopsOnTheNulAndAllocatesNothing)
{
    std::u16string text = qtest::MultiString({ u"\"abc", u"x\"" });
    ULONG position = 0;
    Token token = NextToken(text.c_str(), 8, &position);
    EXPECT_EQ(token.Kind, TokenNone);
    EXPECT_EQ(position, 4u);
    EXPECT_EQ(sk::AllocationCount(), 0u);
}

TEST_F(TokenizerTest, NulsEndStringsAndTheLengthEndsTheList)
{
    /* "ab", "", " " and the end, with the bound just past the last
     * non-NUL character as the parser computes it. */
    std::u16string text = qtest::MultiString({ u"ab", u"", u" " });
    ULONG length = 5;
    ULONG position = 0;
    Token word = NextToken(text.c_str(), length, &position);
    EXPECT_EQ(word.Kind, TokenWord);
    ReleaseToken(&word);
    EXPECT_EQ(NextToken(text.c_str(), length, &position).Kind, TokenEndOfString);
    EXPECT_EQ(position, 3u);
    EXPECT_EQ(NextToken(text.c_str(), length, &position).Kind, TokenEndOfString);
    EXPECT_EQ(position, 4u);
    EXPECT_EQ(NextToken(text.c_str(), length, &position).Kind, TokenEndOfList);
    EXPECT_EQ(position, 5u);
    EXPECT_EQ(NextToken(text.c_str(), length, &position).Kind, TokenEndOfList);
    EXPECT_EQ(position, 5u);

    std::u16string empty(2, u'\0');
    position = 0;
    EXPECT_EQ(NextToken(empty.c_str(), 0, &position).Kind, TokenEndOfList);
    EXPECT_EQ(NextToken(empty.c_str(), 0, &position).Kind, TokenEndOfList);
    EXPECT_EQ(position, 0u);
}

TEST_F(TokenizerTest, NothingAtOrBeyondTheLengthIsRead)
{
    std::u16string text(u"CopyFile\"xyz\"");
    ULONG position = 0;
    Token word = NextToken(text.c_str(), 4, &position);
    ASSERT_EQ(word.Kind, TokenWord);
    EXPECT_EQ(Text(word.Text), u"Copy");
    ReleaseToken(&word);

    position = 8;
    EXPECT_EQ(NextToken(text.c_str(), 11, &position).Kind, TokenNone)
        << "a closing quote beyond the bound does not close the string";
    EXPECT_EQ(position, 11u);
}

TEST_F(TokenizerTest, TokensTooLongForACountedStringAreNoTokens)
{
    std::u16string longest(SCRIPT_MAX_TOKEN_CHARS, u'a');
    ULONG position = 0;
    Token word = Next(longest, &position);
    ASSERT_EQ(word.Kind, TokenWord);
    EXPECT_EQ(word.Text.Length, 65534);
    ReleaseToken(&word);

    std::u16string tooLong(SCRIPT_MAX_TOKEN_CHARS + 1, u'a');
    position = 0;
    EXPECT_EQ(Next(tooLong, &position).Kind, TokenNone);
    EXPECT_EQ(position, 0u);

    /* 32772 characters would wrap to a 16-bit length of 8 characters,
     * which reads "CopyFile". */
    std::u16string wrapping = u"CopyFile" + std::u16string(32764, u'x');
    position = 0;
    EXPECT_EQ(Next(wrapping, &position).Kind, TokenNone);

    std::u16string quoted = u"\"" + std::u16string(SCRIPT_MAX_TOKEN_CHARS + 1, u'q') + u"\"";
    position = 0;
    EXPECT_EQ(Next(quoted, &position).Kind, TokenNone);
    EXPECT_EQ(sk::AllocationCount(), 1u) << "only the longest word was copied";
}

TEST_F(TokenizerTest, PoolExhaustionWhileCopying)
{
    sk::FailAllocation(1, sk::FaultMode::FromThenOn);
    ULONG position = 0;
    Token word = Next(u"Something", &position);
    EXPECT_EQ(word.Kind, TokenWord);
    EXPECT_EQ(word.Text.Buffer, nullptr);
    EXPECT_EQ(word.Text.Length, 0);

    position = 0;
    Token string = Next(u"\"text\"", &position);
    EXPECT_EQ(string.Kind, TokenNoMemory);
    EXPECT_EQ(string.Text.Buffer, nullptr);
    EXPECT_EQ(position, 5u);
}

} // namespace
