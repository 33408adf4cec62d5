/*
 * reg_text_test.cpp - the .reg parser: the file's encodings, the data of
 * every kind of value as the registry stores it, deletions, continuation
 * lines and comments, and the errors with their lines, all found in one
 * pass.
 */
#include "tools/lib/reg_text.h"
#include "simkernel/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using qelmbar::ParseRegText;
using qelmbar::RegEdit;
using qelmbar::RegEditKind;
using qelmbar::RegFormat;
using qelmbar::RegRoot;
using qelmbar::RegText;

const std::string kV5 = "Windows Registry Editor Version 5.00\r\n";

std::vector<uint8_t> Bytes(std::initializer_list<int> list)
{
    std::vector<uint8_t> out;
    for (int b : list)
        out.push_back((uint8_t)b);
    return out;
}

std::vector<uint8_t> Utf16le(const std::u16string &text)
{
    std::vector<uint8_t> out;
    for (char16_t c : text) {
        out.push_back((uint8_t)(c & 0xFF));
        out.push_back((uint8_t)(c >> 8));
    }
    return out;
}

/* The whole file as UTF-16LE with its byte order mark, from UTF-8. */
std::string AsUtf16File(const std::string &utf8)
{
    std::optional<std::u16string> text = sk::Utf16FromUtf8(utf8);
    EXPECT_TRUE(text.has_value());
    std::vector<uint8_t> bytes = Utf16le(*text);
    return "\xFF\xFE"s + std::string(bytes.begin(), bytes.end());
}

RegText Parse(const std::string &bytes)
{
    RegText text;
    bool ok = ParseRegText(bytes, &text);
    EXPECT_EQ(ok, text.Errors.empty());
    return text;
}

/* The edits of a file that must parse. */
std::vector<RegEdit> Edits(const std::string &bytes)
{
    RegText text = Parse(bytes);
    for (const auto &e : text.Errors)
        ADD_FAILURE() << "line " << e.Line << ": " << e.Message;
    return text.Edits;
}

/* "LINE: message" of every error. */
std::vector<std::string> Errors(const std::string &bytes)
{
    std::vector<std::string> out;
    for (const auto &e : Parse(bytes).Errors)
        out.push_back(std::to_string(e.Line) + ": " + e.Message);
    return out;
}

/* The one value a file sets. */
RegEdit OneValue(const std::string &valueLine, const std::string &header = kV5)
{
    std::vector<RegEdit> edits =
        Edits(header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n" + valueLine + "\r\n");
    EXPECT_EQ(edits.size(), 2u);
    if (edits.size() != 2)
        return RegEdit();
    EXPECT_EQ(edits[1].Kind, RegEditKind::SetValue);
    return edits[1];
}

/* ---- encodings ------------------------------------------------------- */

TEST(RegTextEncodingTest, Utf16WithMarkUtf8AndUtf8WithMarkReadAlike)
{
    const std::string file = kV5 + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Caf\xC3\xA9]\r\n"
                                   "\"Name \xE2\x82\xAC\"=\"\xF0\x9F\x98\x80\"\r\n";
    std::vector<RegEdit> utf8 = Edits(file);
    ASSERT_EQ(utf8.size(), 2u);
    EXPECT_EQ(utf8[0].Key, u"SOFTWARE\\Caf\u00E9");
    EXPECT_EQ(utf8[1].Name, u"Name \u20AC");
    EXPECT_EQ(utf8[1].Data, Utf16le(u"\xD83D\xDE00\0"s));

    for (const std::string &other : { AsUtf16File(file), "\xEF\xBB\xBF" + file }) {
        std::vector<RegEdit> edits = Edits(other);
        ASSERT_EQ(edits.size(), 2u);
        EXPECT_EQ(edits[0].Key, utf8[0].Key);
        EXPECT_EQ(edits[1].Name, utf8[1].Name);
        EXPECT_EQ(edits[1].Data, utf8[1].Data);
        EXPECT_EQ(edits[1].Line, 4u);
    }
}

TEST(RegTextEncodingTest, EightBitTextThatIsNoUtf8IsTheAnsiCodePage)
{
    RegText text =
        Parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"v\"=\"caf\xE9 \x80\x81\"\n");
    ASSERT_TRUE(text.Errors.empty());
    EXPECT_EQ(text.Format, RegFormat::Regedit4);
    ASSERT_EQ(text.Edits.size(), 2u);
    EXPECT_EQ(text.Edits[1].Data, Utf16le(u"caf\u00E9 \u20AC\u0081\0"s));
}

TEST(RegTextEncodingTest, FilesTheRegistryEditorWouldNotReadAreRefused)
{
    EXPECT_EQ(Errors("REGEDIT5\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"),
              std::vector<std::string>{ "1: not a registry file: the first line must be "
                                        "\"Windows Registry Editor Version 5.00\" or "
                                        "\"REGEDIT4\"" });
    EXPECT_EQ(Errors("\n" + kV5).size(), 1u) << "the header is the first line";
    EXPECT_EQ(Errors("").size(), 1u);

    const std::string noMark = AsUtf16File(kV5).substr(2), bigEndian = "\xFE\xFF\0W"s;
    EXPECT_NE(Errors(noMark).at(0).find("1: UTF-16 text without a byte order mark"),
              std::string::npos);
    EXPECT_NE(Errors(bigEndian).at(0).find("1: UTF-16 big-endian text"), std::string::npos);
    EXPECT_EQ(Errors(AsUtf16File(kV5 + "[HKLM\\SOFTWARE]") + "x"),
              std::vector<std::string>{ "2: the file ends in the middle of a UTF-16 character" });
    EXPECT_EQ(Errors("\xEF\xBB\xBF" + kV5 + "\"a\"=\"\xE9\"\n"),
              std::vector<std::string>{ "2: invalid UTF-8 (byte 0xE9) in a file marked as UTF-8" });
}

/* ---- values ---------------------------------------------------------- */

TEST(RegTextValueTest, DataIsWhatTheRegistryStores)
{
    RegEdit s = OneValue("\"Path\"=\"C:\\\\Program Files\\\\\\\"App\\\"\"");
    EXPECT_EQ(s.Name, u"Path");
    EXPECT_EQ(s.Type, (ULONG)REG_SZ);
    EXPECT_EQ(s.Data, Utf16le(u"C:\\Program Files\\\"App\"\0"s)) << "with its terminating NUL";
    EXPECT_EQ(OneValue("\"e\"=\"\"").Data, Bytes({ 0, 0 }));

    RegEdit d = OneValue("\"Count\"=dword:0001E240");
    EXPECT_EQ(d.Type, (ULONG)REG_DWORD);
    EXPECT_EQ(d.Data, Bytes({ 0x40, 0xE2, 0x01, 0x00 }));
    EXPECT_EQ(OneValue("\"c\"=DWORD:ff").Data, Bytes({ 0xFF, 0, 0, 0 }));

    struct Case {
        const char *Line;
        ULONG Type;
        std::vector<uint8_t> Data;
    } typed[] = {
        { "\"v\"=hex:00,0a,FF, 7", REG_BINARY, Bytes({ 0x00, 0x0A, 0xFF, 0x07 }) },
        { "\"v\"=hex:", REG_BINARY, Bytes({}) },
        { "\"v\"=hex(0):01,02", REG_NONE, Bytes({ 1, 2 }) },
        { "\"v\"=hex(2):25,00,41,00,25,00,00,00", REG_EXPAND_SZ, Utf16le(u"%A%\0"s) },
        { "\"v\"=HEX(B):01,02", REG_QWORD, Bytes({ 1, 2 }) },
        { "\"v\"=hex(100000):01,02", 0x100000, Bytes({ 1, 2 }) },
        { "\"v\"=hex(ffffffff):", 0xFFFFFFFF, Bytes({}) },
    };
    for (const Case &c : typed) {
        RegEdit edit = OneValue(c.Line);
        EXPECT_EQ(edit.Type, c.Type) << c.Line;
        EXPECT_EQ(edit.Data, c.Data) << c.Line;
    }
    RegEdit multi = OneValue("\"v\"=hex(7):61,00,00,00,62,00,00,00,00,00");
    EXPECT_EQ(multi.Type, (ULONG)REG_MULTI_SZ);
    EXPECT_EQ(multi.Data, Utf16le(u"a\0b\0\0"s)) << "Version 5 text is UTF-16LE already";
}

TEST(RegTextValueTest, Regedit4TextDataIsWidenedLikeItsStrings)
{
    EXPECT_EQ(OneValue("\"v\"=hex(2):25,41,25,00", "REGEDIT4\n").Data, Utf16le(u"%A%\0"s));
    EXPECT_EQ(OneValue("\"v\"=hex(7):61,00,62,00,00", "REGEDIT4\n").Data, Utf16le(u"a\0b\0\0"s));
    EXPECT_EQ(OneValue("\"v\"=hex(1):e9,00", "REGEDIT4\n").Data, Utf16le(u"\u00E9\0"s))
        << "a byte that is no UTF-8 is of the ANSI code page";
    EXPECT_EQ(OneValue("\"v\"=hex(1):c3,a9,00", "REGEDIT4\n").Data, Utf16le(u"\u00E9\0"s));
    EXPECT_EQ(OneValue("\"v\"=hex:61,00", "REGEDIT4\n").Data, Bytes({ 0x61, 0 }))
        << "binary data stays as it is";
    EXPECT_EQ(OneValue("\"v\"=hex(b):61,00", "REGEDIT4\n").Data, Bytes({ 0x61, 0 }));
    EXPECT_EQ(OneValue("\"v\"=\"A\"", "REGEDIT4\n").Data, Utf16le(u"A\0"s));
}

TEST(RegTextValueTest, KeysDefaultValuesAndDeletions)
{
    std::vector<RegEdit> edits = Edits(kV5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Empty]\r\n"
                                             "[-HKLM\\SOFTWARE\\Old\\Tree]\r\n"
                                             "[HKU\\.DEFAULT\\Software]\r\n"
                                             "@=\"default\"\r\n"
                                             "\"\"=dword:1\r\n"
                                             "\"gone\"=-\r\n"
                                             "@ = -\r\n"
                                             "[hkey_classes_root\\.txt]\r\n"
                                             "[HKEY_LOCAL_MACHINE]\r\n"
                                             "[HKLM\\SOFTWARE\\Br]ack]et]\r\n");
    ASSERT_EQ(edits.size(), 10u);
    EXPECT_EQ(edits[0].Kind, RegEditKind::CreateKey) << "a header alone creates its key";
    EXPECT_EQ(edits[0].Root, RegRoot::LocalMachine);
    EXPECT_EQ(edits[0].Key, u"SOFTWARE\\Empty");
    EXPECT_EQ(edits[1].Kind, RegEditKind::DeleteKey);
    EXPECT_EQ(edits[1].Key, u"SOFTWARE\\Old\\Tree");
    EXPECT_EQ(edits[2].Root, RegRoot::Users);
    for (size_t i : { 3, 4, 5, 6 }) {
        EXPECT_EQ(edits[i].Root, RegRoot::Users);
        EXPECT_EQ(edits[i].Key, u".DEFAULT\\Software");
        EXPECT_EQ(edits[i].KeyLine, 4u);
        EXPECT_EQ(edits[i].Line, i + 2);
    }
    EXPECT_EQ(edits[3].Name, u"");
    EXPECT_EQ(edits[4].Name, u"") << "an empty name is the default value too";
    EXPECT_EQ(edits[5].Kind, RegEditKind::DeleteValue);
    EXPECT_EQ(edits[5].Name, u"gone");
    EXPECT_EQ(edits[6].Kind, RegEditKind::DeleteValue);
    EXPECT_EQ(edits[6].Name, u"");
    EXPECT_EQ(edits[7].Root, RegRoot::ClassesRoot);
    EXPECT_EQ(edits[8].Key, u"");
    EXPECT_EQ(edits[9].Key, u"SOFTWARE\\Br]ack]et") << "the header ends at its last ']'";
    EXPECT_EQ(qelmbar::RegKeyName(edits[1].Root, edits[1].Key),
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Old\\Tree");
}

TEST(RegTextValueTest, HexDataGoesOnOverLinesEndedByABackslash)
{
    std::vector<RegEdit> edits = Edits(kV5 + "[HKLM\\SOFTWARE\\A]\r\n"
                                             "\"Long\"=hex(7):61,00,\\\r\n"
                                             "  00,00,\\\r\n"
                                             "; a comment between the lines\r\n"
                                             "\t62,00,00,00,00,00   ; and one after\r\n"
                                             "\"Next\"=hex:01,\\\n"
                                             "02,\r\n"
                                             "  ; an indented comment\r\n"
                                             "\"Last\"=dword:2 ; a comment\r\n");
    ASSERT_EQ(edits.size(), 4u);
    EXPECT_EQ(edits[1].Data, Utf16le(u"a\0b\0\0"s));
    EXPECT_EQ(edits[1].Line, 3u);
    EXPECT_EQ(edits[2].Data, Bytes({ 1, 2 })) << "a comma may end the data";
    EXPECT_EQ(edits[2].Line, 7u);
    EXPECT_EQ(edits[3].Line, 10u);
    EXPECT_EQ(edits[3].Data, Bytes({ 2, 0, 0, 0 }));
}

/* ---- errors ---------------------------------------------------------- */

TEST(RegTextErrorTest, EachFaultIsNamedAtItsLine)
{
    struct Case {
        std::string Body; /* after the header and [HKLM\SOFTWARE\A] on line 2 */
        const char *Expected;
    } cases[] = {
        { "\"a\"=\"C:\\Windows\"", "3: unknown escape '\\W' in a string" },
        { "\"a\"=\"open", "3: the string has no closing quote" },
        { "\"a\"=\"x\" y", "3: unexpected text after the string's closing quote" },
        { "\"a=\"x\"", "3: expected '=' after the value's name" },
        { "\"a\\q\"=\"x\"", "3: in the value's name: unknown escape" },
        { "\"a\"=dword:123456789", "3: dword: takes 1 to 8 hex digits" },
        { "\"a\"=dword:12x", "3: unexpected text after the dword's hex digits" },
        { "\"a\"=hex:1,,2", "3: a missing byte between commas" },
        { "\"a\"=hex:123", "3: '123' is no byte" },
        { "\"a\"=hex:01,\\\n  02,zz", "4: 'zz' is no byte" },
        { "\"a\"=hex(2:00", "3: hex(N): takes the type N in 1 to 8 hex digits" },
        { "\"a\"=hex(123456789):00", "3: hex(N): takes the type N" },
        { "\"a\"=qword:1", "3: unknown data 'qword:1'" },
        { "\"a\"=-x", "3: unexpected text after '-'" },
        { "\"a\"=hex:01,\\", "3: the line ends in a backslash, so the hex data goes on, but the "
                             "file ends" },
        { "\"a\"=hex:01,\\\n\n\"b\"=\"c\"", "3: the line ends in a backslash, so the hex data "
                                            "goes on, but line 4 is blank" },
        { "a=b", "3: unexpected text 'a=b'" },
        { "[HKLM\\SOFTWARE\\B", "3: the key's name has no closing ']'" },
        { "[HKLM\\SOFTWARE\\B] x", "3: unexpected text after the key's closing ']'" },
        { "[]", "3: the key's name is empty" },
        { "[HKEY_NOWHERE\\B]", "3: unknown root key 'HKEY_NOWHERE'" },
        { "[HKLM\\SOFTWARE\\\\B]", "3: empty name in the key's path" },
        { "[-HKLM\\SOFTWARE\\B]\n\"a\"=\"b\"", "4: a value under [-KEY]" },
        { "\"a\0\"=\"b\""s, "3: NUL character in the line" },
    };
    for (const Case &c : cases) {
        std::vector<std::string> errors = Errors(kV5 + "[HKLM\\SOFTWARE\\A]\n" + c.Body + "\n");
        if (errors.size() != 1) {
            ADD_FAILURE() << c.Body << ": " << errors.size() << " errors"
                          << (errors.empty() ? "" : "\n" + errors[0]);
            continue;
        }
        EXPECT_EQ(errors[0].rfind(c.Expected, 0), 0u) << c.Body << "\n" << errors[0];
    }

    std::vector<std::string> errors =
        Errors(kV5 + "\"early\"=\"x\"\n[HKLM\\SOFTWARE\\" + std::string(256, 'k') + "]\n" +
               "[HKLM\\SOFTWARE\\" + std::string(255, 'k') + "]\n\"" + std::string(16384, 'v') +
               "\"=\"x\"\n\"" + std::string(16383, 'v') + "\"=\"x\"\n");
    EXPECT_EQ(errors, (std::vector<std::string>{
                          "2: a value before any [KEY]",
                          "3: a key's name of 256 characters; the registry takes at most 255",
                          "5: a value's name of 16384 characters; the registry takes at most 16383",
                      }));
}

TEST(RegTextErrorTest, EveryErrorIsFoundInOnePassWithoutEchoes)
{
    RegText text = Parse(kV5 + "[HKEY_NOWHERE\\A]\r\n"             /* 2 */
                               "\"under a refused key\"=\"x\"\r\n" /* 3: said by line 2 */
                               "[HKLM\\SOFTWARE\\B]\r\n"           /* 4 */
                               "\"bad\"=hex:zz,\\\r\n"             /* 5 */
                               "  01,02,\\\r\n"                    /* 6: part of 5 */
                               "  03\r\n"                          /* 7: part of 5 */
                               "\"good\"=dword:1\r\n"              /* 8 */
                               "\"x\"=dword:\r\n"                  /* 9 */
                               "junk\r\n");                        /* 10 */
    std::vector<size_t> lines;
    for (const auto &e : text.Errors)
        lines.push_back(e.Line);
    EXPECT_EQ(lines, (std::vector<size_t>{ 2, 5, 9, 10 }));
    ASSERT_EQ(text.Edits.size(), 2u) << "lines that fail add no edit";
    EXPECT_EQ(text.Edits[0].Kind, RegEditKind::CreateKey);
    EXPECT_EQ(text.Edits[1].Name, u"good");
}

} // namespace
