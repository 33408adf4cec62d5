/*
 * explain_test.cpp - qelmbar explain: a status given by name, in
 * hexadecimal or in decimal, named and explained, as text and as JSON.
 */
#include "tests/support/tool_run.h"

namespace {

using qelmbar::test::Contains;
using qelmbar::test::ToolOutcome;

class ExplainTest : public qelmbar::test::ToolTest {};

TEST_F(ExplainTest, EveryWayOfWritingAStatusNamesTheSameOne)
{
    const std::string expected = Run({ "explain", "STATUS_FAIL_CHECK" }).Out;
    ASSERT_EQ(expected.rfind("STATUS_FAIL_CHECK 0xC0000229 (error)\n  means: a registry write "
                             "whose hive was not loaded",
                             0),
              0u)
        << expected;
    EXPECT_TRUE(Contains(expected, "\n  try:   write keys under \\Registry\\Machine\\SYSTEM"))
        << expected;
    for (const char *form : { "fail_check", "Status_Fail_Check", "0xC0000229", "0xc0000229",
                              "3221226025", "-1073741271" }) {
        ToolOutcome run = Run({ "explain", "--", form });
        EXPECT_EQ(run.Status, 0) << form;
        EXPECT_EQ(run.Out, expected) << form;
    }
}

TEST_F(ExplainTest, StatusesTheDriverMeetsAreExplained)
{
    for (const char *name :
         { "STATUS_OBJECT_NAME_EXISTS", "STATUS_DATA_OVERRUN", "STATUS_SHARING_VIOLATION",
           "STATUS_ACCESS_DENIED", "STATUS_OBJECT_NAME_NOT_FOUND", "STATUS_OBJECT_PATH_NOT_FOUND",
           "STATUS_NOT_SUPPORTED", "STATUS_NO_MEMORY", "STATUS_INVALID_PARAMETER",
           "STATUS_NAME_TOO_LONG", "STATUS_IMPLEMENTATION_LIMIT", "STATUS_CANNOT_DELETE",
           "STATUS_DIRECTORY_NOT_EMPTY" }) {
        ToolOutcome run = Run({ "explain", name });
        EXPECT_EQ(run.Status, 0) << name;
        EXPECT_EQ(run.Out.rfind(std::string(name) + " 0x", 0), 0u) << run.Out;
        EXPECT_TRUE(Contains(run.Out, "\n  means: ")) << name;
        EXPECT_TRUE(Contains(run.Out, "\n  try:   ")) << name;
    }
    EXPECT_EQ(Run({ "explain", "0x40000000" }).Out.substr(0, 47),
              "STATUS_OBJECT_NAME_EXISTS 0x40000000 (informati");
}

TEST_F(ExplainTest, UnknownValuesAndNamesAreToldApart)
{
    ToolOutcome named = Run({ "explain", "STATUS_PENDING" });
    EXPECT_EQ(named.Status, 1);
    EXPECT_EQ(named.Out, "STATUS_PENDING 0x00000103 (success)\n"
                         "  the driver's operations are not known to answer this status\n");
    ToolOutcome unnamed = Run({ "explain", "0xC0FFEE00" });
    EXPECT_EQ(unnamed.Status, 1);
    EXPECT_EQ(unnamed.Out.rfind("(no name known) 0xC0FFEE00 (error)\n", 0), 0u) << unnamed.Out;
    for (const char *bad : { "STATUS_NO_SUCH_THING", "0x", "0x1FFFFFFFF", "12abc", "" }) {
        ToolOutcome run = Run({ "explain", bad });
        EXPECT_EQ(run.Status, 2) << bad;
        EXPECT_EQ(run.Out, "") << bad;
        EXPECT_TRUE(Contains(run.Err, "is no status")) << bad << run.Err;
    }
}

TEST_F(ExplainTest, JsonHoldsTheSameAnswer)
{
    ToolOutcome run = Run({ "explain", "0xC0000043", "--json" });
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out.rfind("{\"code\":3221225539,\"hex\":\"0xC0000043\","
                            "\"name\":\"STATUS_SHARING_VIOLATION\",\"severity\":\"error\","
                            "\"known\":true,\"meaning\":\"the file is held open by someone else",
                            0),
              0u)
        << run.Out;
    ToolOutcome unknown = Run({ "explain", "0xC0FFEE00", "--json" });
    EXPECT_EQ(unknown.Status, 1);
    EXPECT_EQ(unknown.Out, "{\"code\":3237998080,\"hex\":\"0xC0FFEE00\",\"name\":null,"
                           "\"severity\":\"error\",\"known\":false,\"meaning\":null,"
                           "\"fix\":null}\n");
}

} // namespace
