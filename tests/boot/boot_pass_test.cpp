/*
 * boot_pass_test.cpp - the boot and shutdown passes over the Parameters
 * key: counting boots, the marker of an improper shutdown, uptime carried
 * across cycles without loss or double counting, the one-shot list run
 * once, and every call failing in turn.
 */
#include "boot/boot.h"
#include "simkernel/io.h"
#include "simkernel/objects.h"
#include "tests/registry/registry_fixture.h"

namespace {

using qtest::kSystem;

const std::u16string kService = kSystem + u"\\Services\\Qelmbar";
const std::u16string kParameters = kService + u"\\Parameters";
const std::u16string kProbe = kSystem + u"\\Probe";

class BootPassTest : public qtest::RegistryTest {
protected:
    void SetUp() override
    {
        qtest::RegistryTest::SetUp();
        MakeDir('C', "Windows/System32/config");
        ASSERT_STATUS(STATUS_SUCCESS, sk::SetUpEarlyBootLinks());
        sk::RegCreateKey(kService);
        sk::RegCreateKey(kProbe);
        path_ = Keep(kParameters);
        NewCycle();
    }
    void TearDown() override
    {
        FreeOperationList(&context_.DeferredList);
        ReleaseRunResults(&context_.RunResultsList);
        qtest::RegistryTest::TearDown();
    }

    /* A fresh driver context, as a new boot cycle has. */
    void NewCycle()
    {
        FreeOperationList(&context_.DeferredList);
        ReleaseRunResults(&context_.RunResultsList);
        memset(&context_, 0, sizeof(context_));
        InitializeContextLists(&context_);
        context_.ParametersPath = &path_;
        sk::SetUptime(0);
    }

    std::optional<ULONG> Dword(const std::u16string &name)
    {
        auto value = sk::RegGetValue(kParameters, name);
        if (!value || value->type != REG_DWORD || value->data.size() != 4)
            return std::nullopt;
        return *(const ULONG *)value->data.data();
    }

    UNICODE_STRING path_;
};

TEST_F(BootPassTest, TheFirstBootCreatesTheKeyCountsOneAndSetsTheMarker)
{
    EXPECT_STATUS(STATUS_SUCCESS, BootPass());
    EXPECT_EQ(Dword(u"BootCounter"), 1u);
    EXPECT_EQ(Dword(u"ImproperShutdown"), 1u);
    EXPECT_FALSE(sk::RegGetValue(kParameters, u"TickCounter").has_value());
    EXPECT_FALSE(context_.ImproperShutdownDetected);
    EXPECT_FALSE(sk::ObjectExists(u"\\QelmbarSystemRoot")) << "the link goes with the pass";
}

TEST_F(BootPassTest, ACounterOfTheWrongTypeStartsOver)
{
    sk::RegCreateKey(kParameters);
    sk::RegSetString(kParameters, u"BootCounter", u"7");
    EXPECT_STATUS(STATUS_SUCCESS, BootPass());
    EXPECT_EQ(Dword(u"BootCounter"), 1u);
    NewCycle();
    EXPECT_STATUS(STATUS_SUCCESS, BootPass());
    EXPECT_EQ(Dword(u"BootCounter"), 2u);
    EXPECT_TRUE(context_.ImproperShutdownDetected) << "no shutdown pass in between";
}

TEST_F(BootPassTest, UptimeIsAddedOncePerCycle)
{
    sk::RegCreateKey(kParameters);
    sk::RegSetDword(kParameters, u"TickCounter", 1000);
    sk::SetUptime(3);
    EXPECT_STATUS(STATUS_SUCCESS, BootPass());
    sk::SetUptime(603);
    EXPECT_STATUS(STATUS_SUCCESS, ShutdownPass());
    EXPECT_EQ(Dword(u"TickCounter"), 1600u);
    EXPECT_FALSE(sk::RegGetValue(kParameters, u"ImproperShutdown").has_value());

    /* A shutdown request followed by unload adds only the new interval. */
    sk::SetUptime(700);
    EXPECT_STATUS(STATUS_SUCCESS, ShutdownPass());
    EXPECT_EQ(Dword(u"TickCounter"), 1697u);

    NewCycle();
    EXPECT_STATUS(STATUS_SUCCESS, BootPass());
    EXPECT_FALSE(context_.ImproperShutdownDetected);
    EXPECT_EQ(context_.TickCounter, 1697u);
}

TEST_F(BootPassTest, AShutdownPassWithoutABootPassKeepsTheStoredTotal)
{
    sk::RegCreateKey(kParameters);
    sk::RegSetDword(kParameters, u"TickCounter", 1000);
    sk::SetUptime(50);
    EXPECT_STATUS(STATUS_SUCCESS, ShutdownPass());
    EXPECT_EQ(Dword(u"TickCounter"), 1050u);

    sk::RegDeleteTree(kParameters);
    EXPECT_STATUS(STATUS_SUCCESS, ShutdownPass());
    EXPECT_FALSE(sk::RegKeyExists(kParameters)) << "created and deleted again";
}

TEST_F(BootPassTest, TheOneShotListRunsOnceAndIsGoneBeforeItsFirstOperation)
{
    sk::RegCreateKey(kParameters);
    sk::RegSetMultiString(kParameters, u"BootTimeOperationsList",
                          { u"SetKeyValue(\"" + kParameters + u"\", \"BootTimeOperationsList\", \"" +
                                kProbe + u"\", \"Seen\", true, false)",
                            u"CreateKey(\"" + kProbe + u"\\Ran\")" });
    EXPECT_STATUS(STATUS_SUCCESS, BootPass());
    EXPECT_TRUE(sk::RegKeyExists(kProbe + u"\\Ran"));
    EXPECT_FALSE(sk::RegGetValue(kProbe, u"Seen").has_value()) << "deleted before it ran";
    EXPECT_FALSE(sk::RegGetValue(kParameters, u"BootTimeOperationsList").has_value());
    EXPECT_FALSE(sk::RegHiveOf(kParameters)->dirty);
}

TEST_F(BootPassTest, AOneShotListThatIsNoScriptIsDeletedAndNothingRuns)
{
    sk::RegCreateKey(kParameters);
    sk::RegSetString(kParameters, u"BootTimeOperationsList", u"CreateKey(\"" + kProbe + u"\\A\")");
    EXPECT_STATUS(STATUS_SUCCESS, BootPass());
    EXPECT_FALSE(sk::RegGetValue(kParameters, u"BootTimeOperationsList").has_value());
    NewCycle();
    sk::RegSetValue(kParameters, u"BootTimeOperationsList", REG_MULTI_SZ, {});
    EXPECT_STATUS(STATUS_SUCCESS, BootPass());
    EXPECT_FALSE(sk::RegGetValue(kParameters, u"BootTimeOperationsList").has_value());
    EXPECT_FALSE(sk::RegKeyExists(kProbe + u"\\A"));
}

TEST_F(BootPassTest, AMarkerThatCannotBeToldEndsThePassBeforePackages)
{
    sk::RegCreateKey(kParameters + u"\\Pkg");
    sk::RegSetString(kParameters + u"\\Pkg", u"", u"Package");
    sk::RegCreateKey(kParameters);
    /* BootCounter's probe and read, TickCounter's probe, then the marker. */
    sk::FailCall("ZwQueryValueKey", 4, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, BootPass());
    EXPECT_FALSE(sk::RegGetValue(kParameters + u"\\Pkg", u"StartBootCounter").has_value());
    EXPECT_FALSE(sk::RegGetValue(kParameters, u"ImproperShutdown").has_value());
}

TEST_F(BootPassTest, EveryCallFailingInTurn)
{
    auto prepare = [&] {
        sk::RegDeleteTree(kParameters);
        sk::RegDeleteTree(kProbe);
        sk::RegCreateKey(kProbe);
        sk::RegCreateKey(kParameters + u"\\Pkg");
        sk::RegSetString(kParameters + u"\\Pkg", u"", u"Package");
        sk::RegSetMultiString(kParameters + u"\\Pkg", u"SetupOperations", { u"CreateKey(\"" + kProbe + u"\\P\")" });
        sk::RegSetMultiString(kParameters, u"BootTimeOperationsList", { u"CreateKey(\"" + kProbe + u"\\O\")" });
        NewCycle();
    };
    prepare();
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, BootPass());
    const uint64_t calls = sk::CallCount();
    for (uint64_t nth = 1; nth <= calls; nth++) {
        SCOPED_TRACE("call " + std::to_string(nth) + " of " + std::to_string(calls));
        prepare();
        sk::ClearFaults();
        sk::FailCall("", nth, STATUS_INSUFFICIENT_RESOURCES);
        BootPass();
        sk::ClearFaults();
        FreeOperationList(&context_.DeferredList);
        ReleaseRunResults(&context_.RunResultsList);
        EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << sk::PoolReport();
        EXPECT_EQ(sk::OpenHandleCount(), 0u) << sk::HandleReport();
        EXPECT_FALSE(sk::ObjectExists(u"\\QelmbarSystemRoot"));
        /* The one-shot list never survives having run. */
        if (sk::RegKeyExists(kProbe + u"\\O")) {
            EXPECT_FALSE(sk::RegGetValue(kParameters, u"BootTimeOperationsList").has_value());
        }
    }
}

} // namespace
