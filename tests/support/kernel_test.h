/*
 * kernel_test.h - the fixture every test of driver code derives from.
 *
 * It starts each test on a fresh simulated kernel whose violations fail the
 * test, and ends each test by proving that no pool block and no handle is
 * left over.
 */
#pragma once

#include "simkernel/sim.h"
#include "simkernel/status_names.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace qtest {

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    /* Checks, without ending the test, that nothing is left over. */
    void ExpectNothingLeftOver();
};

/* Runs body with a handler that records violations instead of failing the
 * test, then gives the fixture's behaviour back. */
std::vector<std::string> ViolationsDuring(const std::function<void()> &body);
/* Exactly one violation was seen, and it mentions needle. */
::testing::AssertionResult OneViolation(const std::vector<std::string> &seen,
                                        const std::string &needle);

/* Compares NTSTATUS values and prints them by name. */
::testing::AssertionResult StatusIs(const char *expectedText, const char *actualText,
                                    NTSTATUS expected, NTSTATUS actual);

std::u16string U16(const std::string &utf8);
std::string U8(const std::u16string &text);

} // namespace qtest

#define EXPECT_STATUS(expected, actual) EXPECT_PRED_FORMAT2(::qtest::StatusIs, expected, actual)
#define ASSERT_STATUS(expected, actual) ASSERT_PRED_FORMAT2(::qtest::StatusIs, expected, actual)
