/*
 * kernel_test.cpp - the shared fixture: fresh kernel, violations as test
 * failures, and the leak check at the end of every test.
 */
#include "tests/support/kernel_test.h"

#include "simkernel/text.h"

#include "simkernel/io.h"

#include <codecvt>
#include <locale>

namespace qtest {

namespace {

void FailOnViolation()
{
    sk::SetViolationHandler([](const std::string &message) {
        ADD_FAILURE() << "simkernel violation: " << message;
    });
}

} // namespace

void KernelTest::SetUp()
{
    FailOnViolation();
    sk::ResetKernel();
}

std::vector<std::string> ViolationsDuring(const std::function<void()> &body)
{
    std::vector<std::string> seen;
    sk::SetViolationHandler([&seen](const std::string &message) { seen.push_back(message); });
    body();
    FailOnViolation();
    return seen;
}

::testing::AssertionResult OneViolation(const std::vector<std::string> &seen,
                                        const std::string &needle)
{
    if (seen.size() != 1) {
        auto failure = ::testing::AssertionFailure();
        failure << seen.size() << " violations, expected one mentioning \"" << needle << "\"";
        for (const std::string &message : seen)
            failure << "\n  " << message;
        return failure;
    }
    if (seen[0].find(needle) == std::string::npos)
        return ::testing::AssertionFailure()
               << "violation \"" << seen[0] << "\" does not mention \"" << needle << "\"";
    return ::testing::AssertionSuccess();
}

void KernelTest::ExpectNothingLeftOver()
{
    EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << "pool blocks left over:\n" << sk::PoolReport();
    EXPECT_EQ(sk::OpenHandleCount(), 0u) << "handles left open:\n" << sk::HandleReport();
    EXPECT_EQ(sk::OutstandingObjectReferences(), 0u) << "object references left:\n"
                                                     << sk::ObjectReferenceReport();
}

void KernelTest::TearDown()
{
    /* Work queued by the test ends before anything is counted. */
    sk::WaitForWorkItems();
    ExpectNothingLeftOver();
    sk::ResetKernel();
    sk::SetViolationHandler(nullptr);
}

::testing::AssertionResult StatusIs(const char *expectedText, const char *actualText,
                                    NTSTATUS expected, NTSTATUS actual)
{
    if (expected == actual)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << actualText << " is " << sk::StatusText(actual) << ", expected " << expectedText
           << " = " << sk::StatusText(expected);
}

std::u16string U16(const std::string &utf8)
{
    std::wstring_convert<std::codecvt_utf8_utf16<char16_t>, char16_t> convert;
    return convert.from_bytes(utf8);
}

std::string U8(const std::u16string &text)
{
    return sk::Utf8FromUtf16(text);
}

} // namespace qtest
