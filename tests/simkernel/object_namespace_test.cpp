/*
 * object_namespace_test.cpp - the simulated object namespace: the parse of
 * names through directories and links, the symbolic-link routines with
 * NT's buffer rules and lifetimes, the I/O manager's link routines, and
 * registry keys and volume files reached through the namespace.
 */
#include "simkernel/objects.h"
#include "simkernel/registry.h"
#include "tests/simkernel/files_fixture.h"
#include "tests/support/kernel_test.h"
#include "tests/support/nt_objects.h"

#include <string>
#include <vector>

namespace {

/* A UNICODE_STRING over text it owns; MaximumLength covers a NUL unless
 * told otherwise. */
class Text {
public:
    explicit Text(std::u16string text, bool terminated = true) : text_(std::move(text))
    {
        text_.push_back(u'\0');
        us_.Length = (USHORT)((text_.size() - 1) * sizeof(WCHAR));
        us_.MaximumLength = (USHORT)(us_.Length + (terminated ? sizeof(WCHAR) : 0));
        us_.Buffer = &text_[0];
    }
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;
    PUNICODE_STRING get() { return &us_; }

private:
    std::u16string text_;
    UNICODE_STRING us_;
};

using Handle = qtest::ScopedHandle;

constexpr ULONG kAttributes = OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE;

NTSTATUS CreateLink(Handle &link, const std::u16string &name, PUNICODE_STRING target,
                    ULONG attributes = 0, ACCESS_MASK access = SYMBOLIC_LINK_ALL_ACCESS)
{
    Text n(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.empty() ? nullptr : n.get(), kAttributes | attributes,
                               nullptr, nullptr);
    return ZwCreateSymbolicLinkObject(link.out(), access, &oa, target);
}

NTSTATUS CreateLink(Handle &link, const std::u16string &name, const std::u16string &target,
                    ULONG attributes = 0, ACCESS_MASK access = SYMBOLIC_LINK_ALL_ACCESS)
{
    Text t(target);
    return CreateLink(link, name, t.get(), attributes, access);
}

NTSTATUS OpenLink(Handle &link, const std::u16string &name,
                  ACCESS_MASK access = SYMBOLIC_LINK_QUERY)
{
    Text n(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, n.get(), kAttributes, nullptr, nullptr);
    return ZwOpenSymbolicLinkObject(link.out(), access, &oa);
}

std::u16string QueryTarget(HANDLE link)
{
    WCHAR buffer[256];
    UNICODE_STRING target = {0, sizeof(buffer), buffer};
    EXPECT_STATUS(STATUS_SUCCESS, ZwQuerySymbolicLinkObject(link, &target, nullptr));
    return std::u16string(buffer, target.Length / sizeof(WCHAR));
}

NTSTATUS OpenKey(Handle &key, const std::u16string &name, ULONG attributes = 0,
                 ACCESS_MASK access = KEY_READ)
{
    Text n(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, n.get(), kAttributes | attributes, nullptr, nullptr);
    return ZwOpenKey(key.out(), access, &oa);
}

std::u16string KeyPath(HANDLE key)
{
    alignas(8) uint8_t buffer[512];
    ULONG length = 0;
    EXPECT_STATUS(STATUS_SUCCESS,
                  ZwQueryKey(key, KeyNameInformation, buffer, sizeof(buffer), &length));
    auto *info = reinterpret_cast<KEY_NAME_INFORMATION *>(buffer);
    return std::u16string(info->Name, info->NameLength / sizeof(WCHAR));
}

class NamespaceTest : public qtest::KernelTest {};

/* ---- names ---------------------------------------------------------- */

TEST_F(NamespaceTest, FreshMachineHasTheSystemDirectoriesAndLinks)
{
    for (const char16_t *name :
         {u"\\", u"\\GLOBAL??", u"\\Device", u"\\ArcName", u"\\REGISTRY", u"\\DosDevices", u"\\??"})
        EXPECT_TRUE(sk::ObjectExists(name)) << qtest::U8(name);
    EXPECT_EQ(sk::LinkTarget(u"\\DosDevices"), u"\\??");
    EXPECT_EQ(sk::ResolveName(u"\\DosDevices"), u"\\GLOBAL??");
    EXPECT_EQ(sk::ResolveName(u"\\??\\GLOBALROOT\\Device"), u"\\Device");
    EXPECT_EQ(sk::ResolveName(u"\\??\\Global\\Global\\GLOBALROOT\\ArcName"), u"\\ArcName");
    EXPECT_FALSE(sk::ObjectExists(u"\\??x"));
}

TEST_F(NamespaceTest, LinkChainsReachTheirTargetWhicheverWayTheyStart)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreateObjectDirectory(u"\\Device\\Foo"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\X:", u"\\Device\\Foo"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\Y:", u"\\??\\X:"));
    for (const char16_t *name : {u"\\??\\X:", u"\\DosDevices\\X:", u"\\GLOBAL??\\Y:", u"\\??\\y:"})
        EXPECT_EQ(sk::ResolveName(name), u"\\Device\\Foo") << qtest::U8(name);
    /* Past a parse object the rest stays as written. */
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\R:", u"\\REGISTRY"));
    EXPECT_EQ(sk::ResolveName(u"\\??\\R:\\machine\\\\Sub"), u"\\REGISTRY\\machine\\\\Sub");
}

TEST_F(NamespaceTest, LinkInTheMiddleOfAPathGoesOnWithTheRest)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreateObjectDirectory(u"\\Device\\Foo"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreateObjectDirectory(u"\\Device\\Foo\\Bar"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\M", u"\\Device\\Foo"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\T", u"\\Device\\Foo\\"));
    EXPECT_EQ(sk::ResolveName(u"\\??\\M\\Bar"), u"\\Device\\Foo\\Bar");
    /* A target's trailing backslash is not doubled by the rest. */
    EXPECT_EQ(sk::ResolveName(u"\\??\\T\\Bar"), u"\\Device\\Foo\\Bar");
    EXPECT_EQ(sk::ResolveName(u"\\??\\M\\Missing"), std::nullopt);
    EXPECT_EQ(sk::ResolveName(u"\\??\\M\\Bar\\"), std::nullopt);
}

TEST_F(NamespaceTest, NamesMatchIgnoringCaseAndKeepTheirCase)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreateObjectDirectory(u"\\Device\\MixedCase\u00E4"));
    EXPECT_EQ(sk::ResolveName(u"\\DEVICE\\mixedcase\u00C4"), u"\\Device\\MixedCase\u00E4");
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION,
                  sk::CreateObjectDirectory(u"\\device\\MIXEDCASE\u00C4"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\Lower", u"\\device"));
    EXPECT_EQ(sk::ResolveName(u"\\??\\LOWER"), u"\\Device");
}

TEST_F(NamespaceTest, MalformedAndMissingNamesGetNtsStatuses)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\Rel", u"Device"));
    struct Case {
        std::u16string name;
        NTSTATUS status;
    } cases[] = {
        {u"", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"Device", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\\\Device", STATUS_OBJECT_NAME_INVALID},
        {u"\\Device\\", STATUS_OBJECT_NAME_INVALID},
        {u"\\Nope", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Nope\\X", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\??\\Rel\\X", STATUS_OBJECT_NAME_NOT_FOUND}, /* targets must be absolute */
        {u"\\", STATUS_OBJECT_TYPE_MISMATCH},
        {u"\\??", STATUS_OBJECT_TYPE_MISMATCH},
        {u"\\Device", STATUS_OBJECT_TYPE_MISMATCH},
        {u"\\REGISTRY\\MACHINE", STATUS_OBJECT_TYPE_MISMATCH},
    };
    for (const Case &c : cases) {
        Handle link;
        *link.out() = (HANDLE)0x1234;
        EXPECT_STATUS(c.status, OpenLink(link, c.name)) << qtest::U8(c.name);
        EXPECT_EQ(link.get(), nullptr) << qtest::U8(c.name);
    }
}

TEST_F(NamespaceTest, ThirtyOneLinksResolveAndTheThirtySecondFails)
{
    /* C1 -> C2 -> ... -> C32 -> \REGISTRY\MACHINE */
    for (int i = 1; i <= 32; i++) {
        std::u16string target =
            i == 32 ? u"\\REGISTRY\\MACHINE" : u"\\GLOBAL??\\C" + qtest::U16(std::to_string(i + 1));
        ASSERT_STATUS(
            STATUS_SUCCESS,
            sk::CreatePermanentLink(u"\\GLOBAL??\\C" + qtest::U16(std::to_string(i)), target));
    }
    Handle key;
    ASSERT_STATUS(STATUS_SUCCESS, OpenKey(key, u"\\GLOBAL??\\C2"));
    EXPECT_EQ(KeyPath(key.get()), u"\\REGISTRY\\MACHINE");
    Handle none;
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(none, u"\\GLOBAL??\\C1"));
}

TEST_F(NamespaceTest, LinkLoopsFailAsNameNotFound)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\A", u"\\??\\B"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\B", u"\\DosDevices\\A"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\Self", u"\\??\\Self\\x"));
    Handle key;
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(key, u"\\??\\A\\x"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(key, u"\\??\\Self"));
    EXPECT_EQ(sk::ResolveName(u"\\??\\B"), std::nullopt);
    /* The loop is no obstacle to opening one of its links. */
    Handle link;
    ASSERT_STATUS(STATUS_SUCCESS, OpenLink(link, u"\\??\\A"));
    EXPECT_EQ(QueryTarget(link.get()), u"\\??\\B");
}

TEST_F(NamespaceTest, ReparsedNamesLongerThanNtAllowsAreRefused)
{
    /* NT refuses a target and rest of more than 0xFFF0 bytes together. */
    const std::u16string target = u"\\" + std::u16string(31999, u'a');
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\Long", target));
    Handle key;
    const std::u16string fits = u"\\" + std::u16string(759, u'b');
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, OpenKey(key, u"\\GLOBAL??\\Long" + fits));
    EXPECT_STATUS(STATUS_NAME_TOO_LONG, OpenKey(key, u"\\GLOBAL??\\Long" + fits + u"b"));
    /* The link refuses the name before its reparse is counted: as the
     * 32nd link of a chain it still answers STATUS_NAME_TOO_LONG. */
    for (int i = 1; i <= 31; i++)
        ASSERT_STATUS(STATUS_SUCCESS,
                      sk::CreatePermanentLink(u"\\GLOBAL??\\L" + qtest::U16(std::to_string(i)),
                                              i == 31 ? std::u16string(u"\\GLOBAL??\\Long")
                                                      : u"\\GLOBAL??\\L" + qtest::U16(std::to_string(i + 1))));
    EXPECT_STATUS(STATUS_NAME_TOO_LONG, OpenKey(key, u"\\GLOBAL??\\L1" + fits + u"b"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(key, u"\\GLOBAL??\\L1" + fits));
}

/* ---- the symbolic-link routines ------------------------------------- */

class SymbolicLinkTest : public NamespaceTest {};

TEST_F(SymbolicLinkTest, CreateThenOpenAndQuery)
{
    Handle created, opened;
    ASSERT_STATUS(STATUS_SUCCESS, CreateLink(created, u"\\GLOBAL??\\Q:", u"\\Device\\Foo"));
    ASSERT_STATUS(STATUS_SUCCESS, OpenLink(opened, u"\\??\\q:"));
    EXPECT_EQ(QueryTarget(opened.get()), u"\\Device\\Foo");
    /* Created through \DosDevices, a link lands in \GLOBAL??. */
    Handle z;
    ASSERT_STATUS(STATUS_SUCCESS, CreateLink(z, u"\\DosDevices\\Z:", u"\\Device\\Z"));
    EXPECT_EQ(sk::LinkTarget(u"\\GLOBAL??\\Z:"), u"\\Device\\Z");
    /* An unnamed link exists for its handle alone. */
    Handle unnamed;
    ASSERT_STATUS(STATUS_SUCCESS, CreateLink(unnamed, u"", u"\\Device\\U"));
    EXPECT_EQ(QueryTarget(unnamed.get()), u"\\Device\\U");
}

TEST_F(SymbolicLinkTest, QueryBufferRules)
{
    Text target(u"\\Device\\Foo");
    const USHORT length = target.get()->Length;
    Handle link;
    ASSERT_STATUS(STATUS_SUCCESS, CreateLink(link, u"\\GLOBAL??\\Q:", target.get()));

    struct Reply {
        NTSTATUS status;
        USHORT length;
        ULONG returned;
        std::vector<WCHAR> buffer;
    };
    auto query = [&](USHORT maximum, bool wantLength) {
        Reply r;
        r.buffer.assign(64, 0x5555);
        r.returned = 0xDEAD;
        UNICODE_STRING out = {0, maximum, maximum ? r.buffer.data() : nullptr};
        r.status = ZwQuerySymbolicLinkObject(link.get(), &out, wantLength ? &r.returned : nullptr);
        r.length = out.Length;
        return r;
    };
    /* With ReturnedLength the NUL the creator had must fit too. */
    for (USHORT maximum : {(USHORT)0, (USHORT)(length - 1), length, (USHORT)(length + 1)}) {
        Reply r = query(maximum, true);
        EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, r.status) << maximum;
        EXPECT_EQ(r.length, 0) << maximum;
        EXPECT_EQ(r.returned, length + sizeof(WCHAR)) << maximum;
        EXPECT_EQ(r.buffer[0], 0x5555) << maximum;
    }
    Reply fits = query(length + sizeof(WCHAR), true);
    EXPECT_STATUS(STATUS_SUCCESS, fits.status);
    EXPECT_EQ(fits.length, length);
    EXPECT_EQ(std::u16string(fits.buffer.data(), length / 2), u"\\Device\\Foo");
    EXPECT_EQ(fits.buffer[length / 2], 0);
    /* Without it Length bytes suffice and no NUL is written. */
    Reply bare = query(length, false);
    EXPECT_STATUS(STATUS_SUCCESS, bare.status);
    EXPECT_EQ(bare.length, length);
    EXPECT_EQ(bare.buffer[length / 2], 0x5555);
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, query(length - 2, false).status);

    /* A creator without a NUL gets none back, and needs no room for it. */
    Text plain(u"\\Device\\Foo", false);
    Handle other;
    ASSERT_STATUS(STATUS_SUCCESS, CreateLink(other, u"\\GLOBAL??\\P:", plain.get()));
    WCHAR buffer[32];
    buffer[length / 2] = 0x5555;
    UNICODE_STRING out = {0, length, buffer};
    ULONG returned = 0;
    EXPECT_STATUS(STATUS_SUCCESS, ZwQuerySymbolicLinkObject(other.get(), &out, &returned));
    EXPECT_EQ(returned, length);
    EXPECT_EQ(buffer[length / 2], 0x5555);
}

TEST_F(SymbolicLinkTest, MalformedTargetsAreRefusedAndLeaveTheHandleAlone)
{
    Text target(u"\\Device\\Foo");
    UNICODE_STRING bad = *target.get();
    Handle link;
    *link.out() = (HANDLE)0x1234;
    for (auto change : {+[](UNICODE_STRING &s) { s.Length = 3; },
                        +[](UNICODE_STRING &s) { s.MaximumLength = s.Length - 2; },
                        +[](UNICODE_STRING &s) { s.Length = s.MaximumLength = 0; }}) {
        UNICODE_STRING t = bad;
        change(t);
        EXPECT_STATUS(STATUS_INVALID_PARAMETER, CreateLink(link, u"\\GLOBAL??\\Bad", &t));
        EXPECT_EQ(link.get(), (HANDLE)0x1234);
    }
    *link.out() = nullptr;
    EXPECT_FALSE(sk::ObjectExists(u"\\GLOBAL??\\Bad"));
    /* An odd MaximumLength is rounded down. */
    UNICODE_STRING odd = bad;
    odd.MaximumLength = (USHORT)(odd.Length + 3);
    ASSERT_STATUS(STATUS_SUCCESS, CreateLink(link, u"\\GLOBAL??\\Odd", &odd));
    UNICODE_STRING out = {0, 0, nullptr};
    ULONG returned = 0;
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, ZwQuerySymbolicLinkObject(link.get(), &out, &returned));
    EXPECT_EQ(returned, odd.Length + 2u);
}

TEST_F(SymbolicLinkTest, TemporaryLinkGoesWithItsLastHandle)
{
    Handle first, second;
    ASSERT_STATUS(STATUS_SUCCESS, CreateLink(first, u"\\GLOBAL??\\T:", u"\\Device\\T"));
    ASSERT_STATUS(STATUS_SUCCESS, OpenLink(second, u"\\GLOBAL??\\T:"));
    first.Close();
    EXPECT_TRUE(sk::ObjectExists(u"\\GLOBAL??\\T:"));
    second.Close();
    EXPECT_FALSE(sk::ObjectExists(u"\\GLOBAL??\\T:"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenLink(second, u"\\GLOBAL??\\T:"));
    /* The name is free again. */
    ASSERT_STATUS(STATUS_SUCCESS, CreateLink(first, u"\\GLOBAL??\\T:", u"\\Device\\T2"));
    EXPECT_EQ(QueryTarget(first.get()), u"\\Device\\T2");
}

TEST_F(SymbolicLinkTest, PermanentLinkStaysUntilMadeTemporary)
{
    Handle link;
    ASSERT_STATUS(STATUS_SUCCESS,
                  CreateLink(link, u"\\GLOBAL??\\P:", u"\\Device\\P", OBJ_PERMANENT));
    link.Close();
    EXPECT_TRUE(sk::ObjectExists(u"\\GLOBAL??\\P:"));
    ASSERT_STATUS(STATUS_SUCCESS, OpenLink(link, u"\\GLOBAL??\\P:", SYMBOLIC_LINK_QUERY));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, ZwMakeTemporaryObject(link.get()));
    link.Close();
    ASSERT_STATUS(STATUS_SUCCESS, OpenLink(link, u"\\GLOBAL??\\P:", DELETE));
    EXPECT_STATUS(STATUS_SUCCESS, ZwMakeTemporaryObject(link.get()));
    EXPECT_TRUE(sk::ObjectExists(u"\\GLOBAL??\\P:"));
    link.Close();
    EXPECT_FALSE(sk::ObjectExists(u"\\GLOBAL??\\P:"));
}

TEST_F(SymbolicLinkTest, CollisionOpenIfAndMissingParent)
{
    Handle first, again;
    ASSERT_STATUS(STATUS_SUCCESS, CreateLink(first, u"\\GLOBAL??\\C:", u"\\Device\\Old"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION,
                  CreateLink(again, u"\\GLOBAL??\\c:", u"\\Device\\New"));
    EXPECT_EQ(again.get(), nullptr);
    ASSERT_STATUS(STATUS_OBJECT_NAME_EXISTS,
                  CreateLink(again, u"\\GLOBAL??\\C:", u"\\Device\\New", OBJ_OPENIF));
    EXPECT_EQ(QueryTarget(again.get()), u"\\Device\\Old");
    Handle none;
    EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, CreateLink(none, u"\\Device", u"\\X", OBJ_OPENIF));
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, CreateLink(none, u"\\REGISTRY", u"\\X"));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, CreateLink(none, u"\\Nope\\C:", u"\\X"));
    EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, CreateLink(none, u"\\REGISTRY\\X", u"\\X"));
    EXPECT_EQ(none.get(), nullptr);
}

TEST_F(SymbolicLinkTest, OpenStopsAtTheFinalLinkOnly)
{
    ASSERT_STATUS(STATUS_SUCCESS,
                  sk::CreatePermanentLink(u"\\GLOBAL??\\X:", u"\\Device\\Dangling"));
    Handle dos, x;
    ASSERT_STATUS(STATUS_SUCCESS, OpenLink(dos, u"\\DosDevices"));
    EXPECT_EQ(QueryTarget(dos.get()), u"\\??");
    ASSERT_STATUS(STATUS_SUCCESS, OpenLink(x, u"\\DosDevices\\X:"));
    EXPECT_EQ(QueryTarget(x.get()), u"\\Device\\Dangling");
}

TEST_F(SymbolicLinkTest, OpenLinkAttributeDoesNotStopObjectLinks)
{
    /* OBJ_OPENLINK is the registry's flag; the object manager follows its
     * own links for any type but the link type. */
    ASSERT_STATUS(STATUS_SUCCESS,
                  sk::CreatePermanentLink(u"\\GLOBAL??\\HKLM", u"\\REGISTRY\\MACHINE"));
    Handle key;
    ASSERT_STATUS(STATUS_SUCCESS, OpenKey(key, u"\\??\\HKLM", OBJ_OPENLINK));
    EXPECT_EQ(KeyPath(key.get()), u"\\REGISTRY\\MACHINE");
}

TEST_F(SymbolicLinkTest, HandlesAreCheckedForKindAndAccess)
{
    Handle link, readable;
    ASSERT_STATUS(STATUS_SUCCESS, CreateLink(link, u"\\GLOBAL??\\A:", u"\\Device\\A", 0, DELETE));
    WCHAR buffer[32];
    UNICODE_STRING out = {0, sizeof(buffer), buffer};
    EXPECT_STATUS(STATUS_ACCESS_DENIED, ZwQuerySymbolicLinkObject(link.get(), &out, nullptr));
    ASSERT_STATUS(STATUS_SUCCESS, OpenLink(readable, u"\\GLOBAL??\\A:", GENERIC_READ));
    EXPECT_EQ(QueryTarget(readable.get()), u"\\Device\\A");
    Handle key;
    ASSERT_STATUS(STATUS_SUCCESS, OpenKey(key, u"\\REGISTRY\\MACHINE", 0, KEY_ALL_ACCESS));
    EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, ZwQuerySymbolicLinkObject(key.get(), &out, nullptr));
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED, ZwMakeTemporaryObject(key.get()));
}

TEST_F(SymbolicLinkTest, AttributesAndRootDirectory)
{
    Text name(u"\\GLOBAL??\\K:"), target(u"\\Device\\K");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE link = nullptr;
    auto seen = qtest::ViolationsDuring([&] {
        EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                      ZwCreateSymbolicLinkObject(&link, SYMBOLIC_LINK_ALL_ACCESS, &oa, target.get()));
    });
    EXPECT_TRUE(qtest::OneViolation(seen, "OBJ_KERNEL_HANDLE"));

    Handle key;
    ASSERT_STATUS(STATUS_SUCCESS, OpenKey(key, u"\\REGISTRY\\MACHINE"));
    Text relative(u"K:");
    InitializeObjectAttributes(&oa, relative.get(), kAttributes, key.get(), nullptr);
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED,
                  ZwCreateSymbolicLinkObject(&link, SYMBOLIC_LINK_ALL_ACCESS, &oa, target.get()));
    EXPECT_EQ(link, nullptr);
}

TEST_F(SymbolicLinkTest, InjectedFaultCreatesNothing)
{
    sk::FailCall("ZwCreateSymbolicLinkObject", 1, STATUS_INSUFFICIENT_RESOURCES);
    Handle link;
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES,
                  CreateLink(link, u"\\GLOBAL??\\F:", u"\\Device\\F"));
    EXPECT_FALSE(sk::ObjectExists(u"\\GLOBAL??\\F:"));
}

/* ---- the I/O manager's links ---------------------------------------- */

TEST_F(SymbolicLinkTest, IoCreateAndDeleteSymbolicLink)
{
    Text name(u"\\DosDevices\\Qelmbar"), device(u"\\Device\\Qelmbar");
    ASSERT_STATUS(STATUS_SUCCESS, IoCreateSymbolicLink(name.get(), device.get()));
    EXPECT_EQ(sk::LinkTarget(u"\\GLOBAL??\\qelmbar"), u"\\Device\\Qelmbar");
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, IoCreateSymbolicLink(name.get(), device.get()));

    /* Deleting makes it temporary: an open handle keeps the name. */
    Handle held;
    ASSERT_STATUS(STATUS_SUCCESS, OpenLink(held, u"\\GLOBAL??\\Qelmbar"));
    ASSERT_STATUS(STATUS_SUCCESS, IoDeleteSymbolicLink(name.get()));
    EXPECT_TRUE(sk::ObjectExists(u"\\GLOBAL??\\Qelmbar"));
    held.Close();
    EXPECT_FALSE(sk::ObjectExists(u"\\GLOBAL??\\Qelmbar"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, IoDeleteSymbolicLink(name.get()));

    Text directory(u"\\Device");
    EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, IoDeleteSymbolicLink(directory.get()));
    Text missing(u"\\Nope\\Link");
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, IoCreateSymbolicLink(missing.get(), device.get()));
}

TEST_F(NamespaceTest, InsertingUnderALinksNameLandsAtItsTargetUnlessALinkIsInserted)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\W", u"\\Device\\Made"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreateObjectDirectory(u"\\??\\W"));
    EXPECT_EQ(sk::ResolveName(u"\\Device\\made"), u"\\Device\\Made");
    EXPECT_EQ(sk::LinkTarget(u"\\GLOBAL??\\W"), u"\\Device\\Made");
    /* Now the target is taken. */
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, sk::CreateObjectDirectory(u"\\??\\W"));
    /* A link of that name collides with the link itself. */
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\V", u"\\Device\\Other"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION,
                  sk::CreatePermanentLink(u"\\GLOBAL??\\V", u"\\Device\\Third"));
    EXPECT_FALSE(sk::ObjectExists(u"\\Device\\Other"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\Lost", u"\\Nope\\X"));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, sk::CreateObjectDirectory(u"\\??\\Lost"));
}

TEST_F(NamespaceTest, RemoveLinkDropsTheNameAtOnce)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\GLOBAL??\\D:", u"\\Device\\D"));
    Handle held;
    ASSERT_STATUS(STATUS_SUCCESS, OpenLink(held, u"\\GLOBAL??\\D:"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RemoveLink(u"\\GLOBAL??\\D:"));
    EXPECT_FALSE(sk::ObjectExists(u"\\GLOBAL??\\D:"));
    EXPECT_EQ(QueryTarget(held.get()), u"\\Device\\D");
    EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, sk::RemoveLink(u"\\Device"));
}

/* ---- keys through the namespace ------------------------------------- */

TEST_F(NamespaceTest, KeysAreReachedThroughTheNamespaceAndItsLinks)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(u"\\REGISTRY\\MACHINE\\Test"));
    ASSERT_STATUS(STATUS_SUCCESS,
                  sk::CreatePermanentLink(u"\\GLOBAL??\\HKLM", u"\\Registry\\Machine\\"));
    Handle direct, linked;
    ASSERT_STATUS(STATUS_SUCCESS, OpenKey(direct, u"\\REGISTRY\\MACHINE\\Test"));
    ASSERT_STATUS(STATUS_SUCCESS, OpenKey(linked, u"\\DosDevices\\HKLM\\test"));
    EXPECT_EQ(KeyPath(linked.get()), u"\\REGISTRY\\MACHINE\\Test");

    Text created(u"\\??\\HKLM\\Created");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, created.get(), kAttributes, nullptr, nullptr);
    Handle key;
    ASSERT_STATUS(STATUS_SUCCESS, ZwCreateKey(key.out(), KEY_READ, &oa, 0, nullptr, 0, nullptr));
    EXPECT_TRUE(sk::RegKeyExists(u"\\REGISTRY\\MACHINE\\Created"));
    EXPECT_TRUE(sk::RegKeyExists(u"\\??\\HKLM\\Created"));

    Handle none;
    EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, OpenKey(none, u"\\Device"));
    EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, OpenKey(none, u"\\DosDevices"));
}

/* ---- volume files through the namespace ----------------------------- */

class LinkedFilesTest : public qtest::FilesTest {
protected:
    static NTSTATUS OpenFile(Handle &file, const std::u16string &name,
                             ACCESS_MASK access = FILE_GENERIC_READ,
                             ULONG options = FILE_NON_DIRECTORY_FILE)
    {
        Text n(name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, n.get(), kAttributes, nullptr, nullptr);
        IO_STATUS_BLOCK io = {};
        return ZwOpenFile(file.out(), access, &oa, &io, FILE_SHARE_VALID_FLAGS,
                          options | FILE_SYNCHRONOUS_IO_NONALERT);
    }
    static std::u16string NameOf(HANDLE handle)
    {
        alignas(8) uint8_t buffer[1024];
        ULONG length = 0;
        EXPECT_STATUS(STATUS_SUCCESS, ZwQueryObject(handle, ObjectNameInformation, buffer,
                                                    sizeof(buffer), &length));
        auto *info = reinterpret_cast<OBJECT_NAME_INFORMATION *>(buffer);
        return std::u16string(info->Name.Buffer, info->Name.Length / sizeof(WCHAR));
    }
};

TEST_F(LinkedFilesTest, LinkToAVolumeDirectoryReachesTheHostFile)
{
    WriteHost("Windows/System32/config/SOFTWARE", "regf");
    const std::u16string hive = u"\\Device\\HarddiskVolume1\\Windows\\System32\\config\\SOFTWARE";
    Handle root;
    ASSERT_STATUS(STATUS_SUCCESS,
                  CreateLink(root, u"\\QelmbarSystemRoot", u"\\Device\\HarddiskVolume1\\Windows"));
    Handle file;
    ASSERT_STATUS(STATUS_SUCCESS, OpenFile(file, u"\\QelmbarSystemRoot\\System32\\config\\SOFTWARE"));
    std::string data;
    EXPECT_STATUS(STATUS_SUCCESS, Read(file.get(), 16, &data));
    EXPECT_EQ(data, "regf");
    EXPECT_EQ(NameOf(file.get()), hive);

    /* A target that goes through the DOS name, ending in a backslash. */
    Handle dos, viaDos;
    ASSERT_STATUS(STATUS_SUCCESS, CreateLink(dos, u"\\GLOBAL??\\SysRoot", u"\\??\\c:\\WINDOWS\\"));
    ASSERT_STATUS(STATUS_SUCCESS, OpenFile(viaDos, u"\\??\\SysRoot\\system32\\CONFIG\\software"));
    EXPECT_EQ(NameOf(viaDos.get()), hive);

    Handle dir, none;
    ASSERT_STATUS(STATUS_SUCCESS, OpenFile(dir, u"\\QelmbarSystemRoot", FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                           FILE_DIRECTORY_FILE));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                  OpenFile(none, u"\\QelmbarSystemRoot\\System32\\config\\SYSTEM"));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND,
                  OpenFile(none, u"\\QelmbarSystemRoot\\System64\\config\\SOFTWARE"));

    /* The temporary link goes with its handle; opens made through it stay. */
    root.Close();
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND,
                  OpenFile(none, u"\\QelmbarSystemRoot\\System32\\config\\SOFTWARE"));
    EXPECT_EQ(NameOf(file.get()), hive);
    EXPECT_EQ(none.get(), nullptr);
}

TEST_F(LinkedFilesTest, DosNameDosDevicesAndDeviceNameOpenTheSameFile)
{
    WriteHost("dir/file", "before");
    Handle dos, dosDevices, device;
    ASSERT_STATUS(STATUS_SUCCESS,
                  OpenFile(dos, u"\\??\\C:\\dir\\file", FILE_GENERIC_READ | FILE_GENERIC_WRITE));
    ASSERT_STATUS(STATUS_SUCCESS, OpenFile(dosDevices, u"\\DosDevices\\C:\\dir\\file"));
    ASSERT_STATUS(STATUS_SUCCESS, OpenFile(device, u"\\Device\\HarddiskVolume1\\dir\\file"));
    LONGLONG at = 0;
    ASSERT_STATUS(STATUS_SUCCESS, Write(dos.get(), "after!", &at));
    for (HANDLE h : {dosDevices.get(), device.get()}) {
        std::string data;
        EXPECT_STATUS(STATUS_SUCCESS, Read(h, 16, &data));
        EXPECT_EQ(data, "after!");
        EXPECT_EQ(NameOf(h), u"\\Device\\HarddiskVolume1\\dir\\file");
    }
    EXPECT_EQ(ReadHost("dir/file"), "after!");
}

TEST_F(LinkedFilesTest, NamesThatResolveToTheOtherKindOfObjectAreTypeMismatches)
{
    WriteHost("dir/file", "x");
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(u"\\REGISTRY\\MACHINE\\SOFTWARE"));
    Handle testLink, vol;
    ASSERT_STATUS(STATUS_SUCCESS, CreateLink(testLink, u"\\TestLink", u"\\REGISTRY\\MACHINE"));
    ASSERT_STATUS(STATUS_SUCCESS, CreateLink(vol, u"\\VolumeLink", u"\\??\\C:\\dir"));

    Handle key;
    ASSERT_STATUS(STATUS_SUCCESS, OpenKey(key, u"\\TestLink\\SOFTWARE"));
    EXPECT_EQ(KeyPath(key.get()), u"\\REGISTRY\\MACHINE\\SOFTWARE");

    Handle none;
    for (const char16_t *name : {u"\\REGISTRY\\MACHINE\\SOFTWARE", u"\\TestLink\\SOFTWARE",
                                 u"\\TestLink", u"\\REGISTRY"})
        EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, OpenFile(none, name, FILE_GENERIC_READ, 0))
            << qtest::U8(name);
    for (const char16_t *name : {u"\\??\\C:\\dir", u"\\VolumeLink\\file", u"\\VolumeLink",
                                 u"\\Device\\HarddiskVolume1", u"\\??\\C:\\missing"})
        EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, OpenKey(none, name)) << qtest::U8(name);

    /* Creating a key there makes nothing on the volume. */
    Text created(u"\\VolumeLink\\newkey");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, created.get(), kAttributes, nullptr, nullptr);
    EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH,
                  ZwCreateKey(none.out(), KEY_READ, &oa, 0, nullptr, 0, nullptr));
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"dir/", "dir/file"}));
    EXPECT_EQ(none.get(), nullptr);
}

} // namespace
