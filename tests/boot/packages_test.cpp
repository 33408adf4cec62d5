/*
 * packages_test.cpp - the package life cycle: what counts as a package,
 * setup, revert and commit with their scripts and the values they leave,
 * packages that cannot be read, and the order in which a run is recorded
 * and carried out.
 */
#include "boot/boot.h"
#include "exec/exec.h"
#include "tests/registry/registry_fixture.h"

namespace {

using qtest::kSystem;

const std::u16string kParameters = kSystem + u"\\Services\\Qelmbar\\Parameters";
const std::u16string kPkg = kParameters + u"\\Pkg";
const std::u16string kProbe = kSystem + u"\\Probe";

std::vector<uint8_t> StateBytes(const std::u16string &text)
{
    std::vector<uint8_t> bytes((const uint8_t *)text.c_str(),
                               (const uint8_t *)(text.c_str() + text.size() + 1));
    return bytes;
}

class PackageTest : public qtest::RegistryTest {
protected:
    void SetUp() override
    {
        qtest::RegistryTest::SetUp();
        sk::RegCreateKey(kParameters);
        sk::RegCreateKey(kProbe);
        context_.BootCounter = 5;
        context_.TickCounter = 1000;
    }

    void AddPackage(const std::u16string &name, const std::u16string &marker = u"Package",
                    ULONG type = REG_SZ)
    {
        sk::RegCreateKey(kParameters + u"\\" + name);
        sk::RegSetString(kParameters + u"\\" + name, u"", marker, type);
    }
    void SetScript(const std::u16string &package, const std::u16string &value,
                   const std::vector<std::u16string> &lines)
    {
        sk::RegSetMultiString(package, value, lines);
    }
    /* A line that records, when it runs, what value of the package stood
     * in the registry then. */
    static std::u16string Probe(const std::u16string &value, const std::u16string &as)
    {
        return u"SetKeyValue(\"" + kPkg + u"\", \"" + value + u"\", \"" + kProbe + u"\", \"" + as +
               u"\", true, false)";
    }

    /* One boot pass's share: enumerate and process every package.  Under
     * planned faults the enumeration may fail; then nothing is processed. */
    std::vector<std::u16string> Pass(bool faultsPlanned = false)
    {
        HANDLE key = nullptr;
        OBJECT_ATTRIBUTES attributes;
        UNICODE_STRING path = Keep(kParameters);
        std::vector<std::u16string> names;
        InitializeKeyAttributes(&attributes, &path, nullptr, REGISTRY_KEY_ATTRIBUTES);
        EXPECT_STATUS(STATUS_SUCCESS, ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes));
        NTSTATUS enumerated = EnumeratePackages(key, &context_.PackageList);
        if (!faultsPlanned) {
            EXPECT_STATUS(STATUS_SUCCESS, enumerated);
        }
        for (PLIST_ENTRY e = context_.PackageList.Flink; e != &context_.PackageList; e = e->Flink) {
            PackageRecord *record = CONTAINING_RECORD(e, PackageRecord, Links);
            names.emplace_back(record->KeyName.Buffer, record->KeyName.Length / 2);
            EXPECT_EQ(record->KeyName.Buffer[record->KeyName.Length / 2], 0);
            ProcessPackage(key, record);
        }
        FreePackageList(&context_.PackageList);
        FreeOperationList(&context_.DeferredList);
        ReleaseRunResults(&context_.RunResultsList);
        ZwClose(key);
        return names;
    }

    std::optional<ULONG> Dword(const std::u16string &key, const std::u16string &name)
    {
        auto value = sk::RegGetValue(key, name);
        if (!value || value->type != REG_DWORD || value->data.size() != 4)
            return std::nullopt;
        return *(const ULONG *)value->data.data();
    }
    std::vector<uint8_t> State(const std::u16string &key = kPkg)
    {
        auto value = sk::RegGetValue(key, u"");
        return value ? value->data : std::vector<uint8_t>();
    }
};

TEST_F(PackageTest, APackageIsASubkeyWhoseDefaultStringIsPackageInAnyCase)
{
    AddPackage(u"Upper", u"PACKAGE");
    AddPackage(u"Expand", u"Package", REG_EXPAND_SZ);
    AddPackage(u"Longer", u"Packages");
    AddPackage(u"Done", u"Commited");
    sk::RegCreateKey(kParameters + u"\\NoDefault");
    EXPECT_EQ(Pass(), (std::vector<std::u16string>{ u"Upper" }));
}

TEST_F(PackageTest, TheLifeOfAPackageFromSetupToCommit)
{
    AddPackage(u"Pkg");
    sk::RegSetDword(kPkg, u"BootTimeout", 2);
    sk::RegSetDword(kPkg, u"TickTimeout", 100);
    SetScript(kPkg, u"SetupOperations", { Probe(u"StartBootCounter", u"AtSetup") });
    SetScript(kPkg, u"CleanOperations", { Probe(u"", u"AtClean"), u"CreateKey(\"" + kProbe + u"\\Cleaned\")" });

    Pass();
    EXPECT_EQ(Dword(kPkg, u"StartBootCounter"), 5u);
    EXPECT_EQ(Dword(kPkg, u"StartTickCounter"), 1000u);
    EXPECT_EQ(Dword(kProbe, u"AtSetup"), 5u) << "the start is recorded before the setup runs";
    EXPECT_EQ(State(), StateBytes(u"Package"));

    context_.BootCounter = 6;
    context_.TickCounter = 2000;
    Pass();
    EXPECT_EQ(State(), StateBytes(u"Package")) << "one boot is not two";

    context_.BootCounter = 7;
    context_.TickCounter = 1099;
    Pass();
    EXPECT_EQ(State(), StateBytes(u"Package")) << "99 seconds are not 100";

    context_.TickCounter = 1100;
    Pass();
    EXPECT_EQ(State(), StateBytes(u"Commited"));
    EXPECT_EQ(State().size(), 18u);
    EXPECT_EQ(sk::RegGetValue(kProbe, u"AtClean")->data, StateBytes(u"Commited"))
        << "the commit is recorded before the clean runs";
    EXPECT_TRUE(sk::RegKeyExists(kProbe + u"\\Cleaned"));
    EXPECT_FALSE(sk::RegGetValue(kPkg, u"LastPackageError").has_value());

    EXPECT_TRUE(Pass().empty()) << "a committed package is no longer one";
}

TEST_F(PackageTest, AfterAnImproperShutdownThePackageIsRevertedAndFailuresReported)
{
    AddPackage(u"Pkg");
    sk::RegSetDword(kPkg, u"StartBootCounter", 4);
    SetScript(kPkg, u"RevertOperations",
              { Probe(u"", u"AtRevert"), u"CreateDir(\"\\??\\Q:\\x\")", u"CreateKey(\"" + kProbe + u"\\Reverted\")" });
    context_.ImproperShutdownDetected = TRUE;
    Pass();
    EXPECT_EQ(State(), StateBytes(u"Reverted"));
    EXPECT_EQ(sk::RegGetValue(kProbe, u"AtRevert")->data, StateBytes(u"Package"))
        << "a revert is recorded after it ran";
    EXPECT_TRUE(sk::RegKeyExists(kProbe + u"\\Reverted")) << "a failure does not stop a revert";
    auto error = Dword(kPkg, u"LastPackageError");
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(NT_SUCCESS((NTSTATUS)*error));
}

TEST_F(PackageTest, ARevertThatWaitsForItsHiveIsFinalOnlyOnceItRan)
{
    UNICODE_STRING parameters = Keep(kParameters);
    context_.ParametersPath = &parameters;
    ASSERT_STATUS(STATUS_SUCCESS, sk::UnmountHive(qtest::kSoftware));
    AddPackage(u"Pkg");
    sk::RegSetDword(kPkg, u"StartBootCounter", 4);
    SetScript(kPkg, u"RevertOperations",
              { u"DeleteKey(\"" + qtest::kSoftware + u"\\Vendor\", true)",
                u"CopyKey(\"" + kProbe + u"\\Missing\", \"" + kProbe + u"\\Copy\", false)",
                u"CreateKey(\"" + kProbe + u"\\R\")" });
    context_.ImproperShutdownDetected = TRUE;

    HANDLE key = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeKeyAttributes(&attributes, &parameters, nullptr, REGISTRY_KEY_ATTRIBUTES);
    ASSERT_STATUS(STATUS_SUCCESS, ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes));
    ASSERT_STATUS(STATUS_SUCCESS, EnumeratePackages(key, &context_.PackageList));
    ProcessPackage(key, CONTAINING_RECORD(context_.PackageList.Flink, PackageRecord, Links));
    FreePackageList(&context_.PackageList);
    ZwClose(key);
    EXPECT_TRUE(sk::RegKeyExists(kProbe + u"\\R"));
    EXPECT_EQ(State(), StateBytes(u"Package")) << "a power loss now reverts it again";
    EXPECT_FALSE(sk::RegGetValue(kPkg, u"LastPackageError").has_value());

    /* The system loads SOFTWARE; the deferred run completes the revert. */
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(qtest::kSoftware, u"SOFTWARE"));
    sk::RegCreateKey(qtest::kSoftware + u"\\Vendor");
    const ListOrigin deferredRun = { ListDeferredRun, nullptr, nullptr };
    RunOperationList(&context_.DeferredList, FALSE, nullptr, &deferredRun);
    FreeOperationList(&context_.DeferredList);
    CompletePendingReverts(&context_.PendingRevertList);
    EXPECT_FALSE(sk::RegKeyExists(qtest::kSoftware + u"\\Vendor"));
    EXPECT_EQ(State(), StateBytes(u"Reverted"));
    EXPECT_EQ(Dword(kPkg, u"LastPackageError"), (ULONG)STATUS_OBJECT_NAME_NOT_FOUND)
        << "the failure of the part that ran at the boot pass";
    EXPECT_TRUE(IsListEmpty(&context_.PendingRevertList));
}

TEST_F(PackageTest, ANewPackageIsSetUpEvenAfterAnImproperShutdownAndAFailedSetupIsNotRetried)
{
    AddPackage(u"Pkg");
    sk::RegSetDword(kPkg, u"StartBootCounter", 0);
    SetScript(kPkg, u"SetupOperations", { u"CreateDir(\"\\??\\Q:\\x\")", u"CreateKey(\"" + kProbe + u"\\After\")" });
    context_.ImproperShutdownDetected = TRUE;
    Pass();
    EXPECT_EQ(Dword(kPkg, u"StartBootCounter"), 5u);
    EXPECT_TRUE(Dword(kPkg, u"LastPackageError").has_value());
    EXPECT_FALSE(sk::RegKeyExists(kProbe + u"\\After")) << "a setup stops at its first failure";
    EXPECT_EQ(State(), StateBytes(u"Package"));
}

TEST_F(PackageTest, PackagesOfTheWrongKindAreCorruptedAndNothingOfThemRuns)
{
    AddPackage(u"Pkg");
    sk::RegSetQword(kPkg, u"TickTimeout", 5);
    SetScript(kPkg, u"SetupOperations", { u"CreateKey(\"" + kProbe + u"\\Ran\")" });
    AddPackage(u"Bad");
    SetScript(kParameters + u"\\Bad", u"SetupOperations", { u"NoSuchOperation(\"x\")" });
    AddPackage(u"Empty");
    sk::RegSetValue(kParameters + u"\\Empty", u"CleanOperations", REG_SZ, {});
    AddPackage(u"Text");
    sk::RegSetValue(kParameters + u"\\Text", u"RevertOperations", REG_SZ,
                    StateBytes(u"CreateKey(\"" + kProbe + u"\\Ran\")"));

    EXPECT_EQ(Pass(), (std::vector<std::u16string>{ u"Empty" }));
    EXPECT_EQ(State(), StateBytes(u"Corrupted"));
    EXPECT_EQ(State().size(), 20u);
    EXPECT_EQ(Dword(kPkg, u"LastPackageError"), (ULONG)STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Dword(kParameters + u"\\Bad", u"LastPackageError"), (ULONG)STATUS_DATA_OVERRUN);
    EXPECT_EQ(State(kParameters + u"\\Text"), StateBytes(u"Corrupted"));
    EXPECT_EQ(Dword(kParameters + u"\\Text", u"LastPackageError"), (ULONG)STATUS_NOT_SUPPORTED)
        << "a script that is no REG_MULTI_SZ";
    EXPECT_FALSE(sk::RegKeyExists(kProbe + u"\\Ran"));
}

TEST_F(PackageTest, AValueThatFailsToReadSkipsThePackageAndWritesNothing)
{
    AddPackage(u"Pkg");
    sk::RegSetDword(kPkg, u"StartBootCounter", 3);
    auto before = Tree(kPkg);
    /* The default value's probe and read, then StartTickCounter's probe. */
    sk::FailCall("ZwQueryValueKey", 3, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Pass().empty());
    EXPECT_EQ(Tree(kPkg), before);
}

TEST_F(PackageTest, AParseShortOfPoolLeavesAValidPackageForAnotherBoot)
{
    auto stage = [&] {
        sk::RegDeleteTree(kPkg);
        sk::RegDeleteTree(kProbe);
        sk::RegCreateKey(kProbe);
        AddPackage(u"Pkg");
        SetScript(kPkg, u"SetupOperations",
                  { u"CreateKey(\"" + kProbe + u"\\A\")", u"CreateKey(\"" + kProbe + u"\\B\")" });
        SetScript(kPkg, u"RevertOperations", { u"DeleteKey(\"" + kProbe + u"\\A\", true)" });
    };
    stage();
    const auto before = Tree(kPkg);
    sk::ClearFaults();
    Pass();
    const uint64_t allocations = sk::AllocationCount();
    ASSERT_GT(allocations, 0u);
    for (uint64_t nth = 1; nth <= allocations; nth++) {
        SCOPED_TRACE("allocation " + std::to_string(nth));
        stage();
        sk::ClearFaults();
        sk::FailAllocation(nth);
        Pass(true);
        sk::ClearFaults();
        EXPECT_NE(State(), StateBytes(u"Corrupted")) << "a valid package is never condemned";
        if (!Dword(kPkg, u"StartBootCounter")) {
            EXPECT_EQ(Tree(kPkg), before) << "a package skipped for memory keeps every value";
        }
    }
}

TEST_F(PackageTest, CountersThatWentBackwardsHaveNotElapsed)
{
    AddPackage(u"Pkg");
    sk::RegSetDword(kPkg, u"StartBootCounter", 9);
    sk::RegSetDword(kPkg, u"BootTimeout", 2);
    Pass();
    EXPECT_EQ(State(), StateBytes(u"Package"));

    sk::RegSetDword(kPkg, u"BootTimeout", 0);
    sk::RegSetDword(kPkg, u"StartTickCounter", 5000);
    sk::RegSetDword(kPkg, u"TickTimeout", 1);
    Pass();
    EXPECT_EQ(State(), StateBytes(u"Package"));
}

TEST_F(PackageTest, BothTimeoutsZeroCommitAtTheNextBootWithAnEmptyClean)
{
    AddPackage(u"Pkg");
    sk::RegSetValue(kPkg, u"CleanOperations", REG_MULTI_SZ, {});
    Pass();
    EXPECT_EQ(State(), StateBytes(u"Package"));
    context_.BootCounter = 6;
    Pass();
    EXPECT_EQ(State(), StateBytes(u"Commited"));
}

/* A failure in the clean script does not stop it: the operations after it
 * run, and the failure is reported. */
TEST_F(PackageTest, ACleanGoesOnPastAFailure)
{
    AddPackage(u"Pkg");
    SetScript(kPkg, u"CleanOperations",
              { u"CopyKey(\"" + kProbe + u"\\Missing\", \"" + kProbe + u"\\Copy\", false)",
                u"CreateKey(\"" + kProbe + u"\\Cleaned\")" });
    Pass();
    context_.BootCounter = 6;
    Pass();
    EXPECT_EQ(State(), StateBytes(u"Commited"));
    EXPECT_TRUE(sk::RegKeyExists(kProbe + u"\\Cleaned"));
    EXPECT_EQ(Dword(kPkg, u"LastPackageError"), (ULONG)STATUS_OBJECT_NAME_NOT_FOUND);
}

/* A revert whose state cannot be written stays to be reverted again, and
 * its script's failure is not recorded without it. */
TEST_F(PackageTest, ARevertWhoseStateCannotBeWrittenIsNotRecordedAtAll)
{
    auto stage = [&] {
        sk::RegDeleteTree(kPkg);
        AddPackage(u"Pkg");
        sk::RegSetDword(kPkg, u"StartBootCounter", 4);
        SetScript(kPkg, u"RevertOperations",
                  { u"CopyKey(\"" + kProbe + u"\\Missing\", \"" + kProbe + u"\\Copy\", false)" });
    };
    context_.ImproperShutdownDetected = TRUE;
    stage();
    sk::ClearFaults();
    Pass();
    ASSERT_EQ(State(), StateBytes(u"Reverted"));
    ASSERT_EQ(Dword(kPkg, u"LastPackageError"), (ULONG)STATUS_OBJECT_NAME_NOT_FOUND);
    /* The state, the failure and the run's record are the pass's last
     * three values. */
    const uint64_t writes = sk::CallCount("ZwSetValueKey");
    ASSERT_GE(writes, 3u);

    stage();
    sk::ClearFaults();
    sk::FailCall("ZwSetValueKey", writes - 2, STATUS_INSUFFICIENT_RESOURCES);
    Pass(true);
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
    sk::ClearFaults();
    EXPECT_EQ(State(), StateBytes(u"Package"));
    EXPECT_FALSE(sk::RegGetValue(kPkg, u"LastPackageError").has_value());
}

TEST_F(PackageTest, APackageKeyThatVanishesBeforeItsTurnRecordsNothing)
{
    AddPackage(u"First");
    SetScript(kParameters + u"\\First", u"SetupOperations", { u"DeleteKey(\"" + kParameters + u"\\Other\", true)" });
    AddPackage(u"Other");
    SetScript(kParameters + u"\\Other", u"SetupOperations", { u"CreateKey(\"" + kProbe + u"\\Ran\")" });
    Pass();
    EXPECT_FALSE(sk::RegKeyExists(kParameters + u"\\Other"));
    EXPECT_FALSE(sk::RegKeyExists(kProbe + u"\\Ran")) << "a setup whose key is gone does not run";
}

TEST_F(PackageTest, EveryAllocationAndCallFailingInTurnLeavesNothingBehind)
{
    auto prepare = [&] {
        sk::RegDeleteTree(kParameters);
        sk::RegDeleteTree(kProbe);
        sk::RegCreateKey(kProbe);
        AddPackage(u"Pkg");
        SetScript(kPkg, u"SetupOperations", { u"CreateKey(\"" + kProbe + u"\\A\")" });
        SetScript(kPkg, u"RevertOperations", { u"DeleteKey(\"" + kProbe + u"\\A\", true)" });
    };
    prepare();
    sk::ClearFaults();
    Pass();
    const uint64_t calls = sk::CallCount();
    for (uint64_t nth = 1; nth <= calls; nth++) {
        SCOPED_TRACE("call " + std::to_string(nth));
        prepare();
        sk::ClearFaults();
        sk::FailCall("", nth, STATUS_INSUFFICIENT_RESOURCES);
        HANDLE key = nullptr;
        OBJECT_ATTRIBUTES attributes;
        UNICODE_STRING path = Keep(kParameters);
        InitializeKeyAttributes(&attributes, &path, nullptr, REGISTRY_KEY_ATTRIBUTES);
        if (NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes))) {
            if (NT_SUCCESS(EnumeratePackages(key, &context_.PackageList))) {
                for (PLIST_ENTRY e = context_.PackageList.Flink; e != &context_.PackageList; e = e->Flink)
                    ProcessPackage(key, CONTAINING_RECORD(e, PackageRecord, Links));
            }
            FreePackageList(&context_.PackageList);
            ZwClose(key);
        }
        /* A failed probe of the hive defers the operation, and keeps the
         * record of its script for the deferred run. */
        FreeOperationList(&context_.DeferredList);
        ReleaseRunResults(&context_.RunResultsList);
        sk::ClearFaults();
        EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << sk::PoolReport();
        EXPECT_EQ(sk::OpenHandleCount(), 0u) << sk::HandleReport();
        /* Ran means recorded as started. */
        if (sk::RegKeyExists(kProbe + u"\\A")) {
            EXPECT_TRUE(Dword(kPkg, u"StartBootCounter").has_value());
        }
    }
}

} // namespace
