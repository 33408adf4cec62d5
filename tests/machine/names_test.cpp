/*
 * names_test.cpp - names and key paths as the machine layer reads them:
 * NT's case table for names, and the one rule for CurrentControlSet and
 * empty components.
 */
#include "machine/machine.h"

#include <gtest/gtest.h>

namespace {

TEST(MachineNamesTest, NamesAreComparedByNtsCaseTable)
{
    EXPECT_TRUE(qm::EqualsIgnoringCase(u"Services", u"SERVICES"));
    EXPECT_TRUE(qm::EqualsIgnoringCase(u"caf\u00E9", u"CAF\u00C9"));
    EXPECT_TRUE(qm::EqualsIgnoringCase(u"\u03BF\u03B4\u03BF\u03C3", u"\u039F\u0394\u039F\u03A3"));
    /* NT leaves the final sigma alone. */
    EXPECT_FALSE(qm::EqualsIgnoringCase(u"\u03C2", u"\u03A3"));
    EXPECT_FALSE(qm::EqualsIgnoringCase(u"Service", u"Services"));
}

TEST(MachineNamesTest, CurrentControlSetIsMappedOnlyAsTheFirstComponent)
{
    EXPECT_EQ(qm::MapCurrentControlSet(u"CurrentControlSet\\Services", 2), u"ControlSet002\\Services");
    EXPECT_EQ(qm::MapCurrentControlSet(u"currentcontrolset", 12), u"ControlSet012");
    EXPECT_EQ(qm::MapCurrentControlSet(u"\\\\CurrentControlSet\\\\Services\\", 1),
              u"ControlSet001\\Services");
    EXPECT_EQ(qm::MapCurrentControlSet(u"\\Select\\\\Current", 1), u"Select\\Current");
    EXPECT_EQ(qm::MapCurrentControlSet(u"CurrentControlSets\\A", 1), u"CurrentControlSets\\A");
    EXPECT_EQ(qm::MapCurrentControlSet(u"A\\CurrentControlSet", 1), u"A\\CurrentControlSet");
    EXPECT_EQ(qm::MapCurrentControlSet(u"", 1), u"");
    EXPECT_TRUE(qm::StartsWithCurrentControlSet(u"\\CURRENTCONTROLSET\\x"));
    EXPECT_FALSE(qm::StartsWithCurrentControlSet(u"ControlSet001"));
}

} // namespace
