/*
 * registry_fixture.h - tests of the key and value operations run on a
 * registry with SYSTEM and SOFTWARE loaded as the system loads them, a
 * driver context of their own, and the operations built as the parser
 * builds their records.  Trees are laid out and read back through the
 * direct-access API, so that what a test checks is what the registry
 * holds, not what the driver believes.
 */
#pragma once

#include "boot/boot.h"
#include "driver/driver.h"
#include "registry/registry.h"
#include "script/script.h"
#include "simkernel/registry.h"
#include "tests/exec/volume_fixture.h"

#include <deque>
#include <string>
#include <vector>

namespace qtest {

const std::u16string kSoftware = u"\\REGISTRY\\MACHINE\\SOFTWARE";
const std::u16string kSystem = u"\\REGISTRY\\MACHINE\\SYSTEM";

class RegistryTest : public VolumeTest {
protected:
    void SetUp() override
    {
        VolumeTest::SetUp();
        memset(&context_, 0, sizeof(context_));
        InitializeContextLists(&context_);
        QelmbarContext = &context_;
        ZwRenameKeyRoutine = nullptr;
        ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kSystem, u"SYSTEM"));
        ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kSoftware, u"SOFTWARE"));
    }
    void TearDown() override
    {
        ReleaseRunResults(&context_.RunResultsList);
        UnloadTemporaryHives(&context_.TemporaryHiveList);
        QelmbarContext = nullptr;
        ZwRenameKeyRoutine = nullptr;
        VolumeTest::TearDown();
    }

    /* Records whose strings live as long as the fixture. */
    UNICODE_STRING Keep(const std::u16string &text)
    {
        strings_.push_back(text);
        return Counted(strings_.back());
    }
    OperationRecord TwoPath(OperationKind kind, bool overwrite, const std::u16string &source,
                            const std::u16string &target)
    {
        OperationRecord r = Blank(kind);
        r.Args.TwoPath.Overwrite = overwrite;
        r.Args.TwoPath.Source = Keep(source);
        r.Args.TwoPath.Target = Keep(target);
        return r;
    }

    NTSTATUS CreateKey(const std::u16string &path)
    {
        OperationRecord r = Blank(OperationCreateKey);
        r.Args.Path.Path = Keep(path);
        return CreateKeyHandler(&r);
    }
    NTSTATUS DeleteKey(const std::u16string &path, bool recursive)
    {
        OperationRecord r = Blank(OperationDeleteKey);
        r.Args.DeleteKey.Recursive = recursive;
        r.Args.DeleteKey.Path = Keep(path);
        return DeleteKeyHandler(&r);
    }
    NTSTATUS CopyKey(const std::u16string &source, const std::u16string &target, bool overwrite)
    {
        OperationRecord r = TwoPath(OperationCopyKey, overwrite, source, target);
        return CopyKeyHandler(&r);
    }
    NTSTATUS MoveKey(const std::u16string &source, const std::u16string &target, bool overwrite)
    {
        OperationRecord r = TwoPath(OperationMoveKey, overwrite, source, target);
        return MoveKeyHandler(&r);
    }
    NTSTATUS RenameKey(const std::u16string &path, const std::u16string &newName, bool overwrite)
    {
        OperationRecord r = TwoPath(OperationRenameKey, overwrite, path, newName);
        return RenameKeyHandler(&r);
    }
    NTSTATUS SetKeyValue(const std::u16string &targetKey, const std::u16string &targetValue,
                         const std::u16string &sourceKey, const std::u16string &sourceValue,
                         bool overwrite, bool deleteSource)
    {
        OperationRecord r = Blank(OperationSetKeyValue);
        SetKeyValueArgs &a = r.Args.SetKeyValue;
        a.Overwrite = overwrite;
        a.TargetKey = Keep(targetKey);
        a.TargetValue = Keep(targetValue);
        a.SourceKey = Keep(sourceKey);
        a.SourceValue = Keep(sourceValue);
        a.DeleteSource = deleteSource;
        return SetKeyValueHandler(&r);
    }
    NTSTATUS DeleteKeyValue(const std::u16string &key, const std::u16string &name)
    {
        OperationRecord r = Blank(OperationDeleteKeyValue);
        r.Args.DeleteKeyValue.KeyPath = Keep(key);
        r.Args.DeleteKeyValue.ValueName = Keep(name);
        return DeleteKeyValueHandler(&r);
    }
    NTSTATUS RenameValue(const std::u16string &key, const std::u16string &oldName,
                         const std::u16string &newName, bool overwrite)
    {
        OperationRecord r = Blank(OperationRenameValue);
        RenameValueArgs &a = r.Args.RenameValue;
        a.Overwrite = overwrite;
        a.KeyPath = Keep(key);
        a.OldName = Keep(oldName);
        a.NewName = Keep(newName);
        return RenameValueHandler(&r);
    }

    /* A sample tree: values of several types (the default value, empty
     * data, data past one hive cell) and subkeys two levels deep. */
    void LayOutSample(const std::u16string &root)
    {
        sk::RegCreateKey(root + u"\\Sub\\Deeper");
        sk::RegCreateKey(root + u"\\Other");
        sk::RegSetString(root, u"", u"default text");
        sk::RegSetDword(root, u"Count", 7);
        sk::RegSetValue(root, u"Empty", REG_BINARY, {});
        sk::RegSetValue(root, u"Large", REG_BINARY, std::vector<uint8_t>(70000, 0x5A));
        sk::RegSetMultiString(root + u"\\Sub", u"List", { u"one", u"two" });
        sk::RegSetValue(root + u"\\Sub\\Deeper", u"Odd", 0x12345678, { 1, 2, 3 });
        sk::RegSetString(root + u"\\Other", u"Path", u"%SystemRoot%\\x", REG_EXPAND_SZ);
    }

    /* Everything below a key, as lines that compare exactly: every key by
     * its path relative to root (stored case) and every value with its
     * name, type and data. */
    std::vector<std::string> Tree(const std::u16string &root)
    {
        std::vector<std::string> lines;
        if (!sk::RegKeyExists(root))
            return lines;
        Dump(root, "", &lines);
        return lines;
    }

    DriverContext context_;

private:
    static OperationRecord Blank(OperationKind kind)
    {
        OperationRecord r;
        memset(&r, 0, sizeof(r));
        r.Kind = kind;
        return r;
    }
    void Dump(const std::u16string &path, const std::string &relative,
              std::vector<std::string> *lines)
    {
        lines->push_back("key " + relative);
        for (const std::u16string &name : sk::RegValueNames(path)) {
            auto value = sk::RegGetValue(path, name);
            std::string line = "  " + relative + " : " + U8(name) + " = " +
                               std::to_string(value->type) + ":" +
                               std::to_string(value->data.size()) + ":";
            unsigned long sum = 0;
            for (uint8_t b : value->data)
                sum = sum * 31 + b;
            lines->push_back(line + std::to_string(sum));
        }
        for (const std::u16string &sub : sk::RegSubkeys(path))
            Dump(path + u"\\" + sub, relative + "\\" + U8(sub), lines);
    }

    std::deque<std::u16string> strings_;
};

} // namespace qtest
