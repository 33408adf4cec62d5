/*
 * live_journal_test.cpp - the live target of the Windows build held to its
 * word: a change whose last step fails leaves the registry as it was, a
 * change made against a state that no longer holds writes nothing, and a
 * whole change lands.  Runs under Wine (or on Windows, as an administrator)
 * on the real Services key of a prefix of the test's own; gtest is not
 * built for mingw here, so it checks and counts by itself.  Exit 0 when
 * every check held.
 */
#include "tools/lib/staging.h"

#include <algorithm>
#include <cstdio>

namespace {

using namespace qelmbar::staging;

int failures = 0;

#define CHECK(condition)                                                          \
    do {                                                                          \
        if (!(condition)) {                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                         #condition);                                             \
            failures++;                                                           \
        }                                                                         \
    } while (0)

/* A key in a form that ignores the order of values, which a restore may
 * change: every path, value name, type and data, sorted. */
void Flatten(const Key &key, const std::string &path, std::vector<std::string> *lines)
{
    for (const Value &value : key.Values) {
        std::string line = path + " \"" + Utf8(value.Name) + "\" " + TypeName(value.Type) + " ";
        for (uint8_t byte : value.Data)
            line += std::to_string(byte) + ",";
        lines->push_back(line);
    }
    lines->push_back(path);
    for (const Key &subkey : key.Subkeys)
        Flatten(subkey, path + "\\" + Utf8(subkey.Name), lines);
}

std::vector<std::string> Read(Target &target)
{
    Snapshot snapshot;
    std::string error;
    std::vector<std::string> lines;
    if (!target.Read(&snapshot, &error)) {
        std::fprintf(stderr, "reading: %s\n", error.c_str());
        failures++;
        return lines;
    }
    if (snapshot.Service)
        Flatten(*snapshot.Service, "Qelmbar", &lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace

int main()
{
    std::string error;
    std::unique_ptr<Target> target = OpenTarget(TargetChoice(), &error);
    if (!target) {
        std::fprintf(stderr, "no live target: %s\n", error.c_str());
        return 1;
    }

    const std::u16string keep = u"Qelmbar\\Parameters\\keep";
    Change setUp;
    setUp.ExpectKey(u"Qelmbar", false);
    setUp.CreateKey(keep);
    setUp.SetValue(u"Qelmbar", u"Type", kTypeDword, DwordBytes(1));
    setUp.SetValue(u"Qelmbar", u"Start", kTypeDword, DwordBytes(0));
    setUp.SetValue(keep, u"SetupOperations", kTypeMultiSz, MultiStringBytes({ u"CreateDir(\"x\")" }));
    setUp.SetValue(keep, u"", kTypeSz, StringBytes(u"Package"));
    CHECK(target->Apply(setUp, &error));
    const std::vector<std::string> before = Read(*target);
    CHECK(before.size() == 7);

    /* Every kind of step, then one that fails: all of it is undone. */
    Change failing;
    failing.SetValue(u"Qelmbar", u"Start", kTypeDword, DwordBytes(4));
    failing.DeleteValue(u"Qelmbar", u"Type");
    failing.CreateKey(u"Qelmbar\\Parameters\\new\\deep");
    failing.SetValue(u"Qelmbar\\Parameters\\new\\deep", u"x", kTypeSz, StringBytes(u"y"));
    failing.DeleteTree(keep);
    failing.SetValue(u"Qelmbar\\Parameters", u"BootTimeOperationsList", kTypeMultiSz,
                     MultiStringBytes({ u"CreateDir(\"x\")" }));
    failing.DeleteValue(u"Qelmbar\\Parameters", u"NoSuchValue");
    error.clear();
    CHECK(!target->Apply(failing, &error));
    CHECK(error.find("Qelmbar\\Parameters, value \"NoSuchValue\": ") != std::string::npos);
    CHECK(error.find("undoing") == std::string::npos);
    CHECK(Read(*target) == before);

    /* Held to what was read: nothing is written. */
    Value stale;
    stale.Name = u"Start";
    stale.Type = kTypeDword;
    stale.Data = DwordBytes(3);
    Change guarded;
    guarded.ExpectValue(u"Qelmbar", u"Start", &stale);
    guarded.SetValue(u"Qelmbar", u"Start", kTypeDword, DwordBytes(4));
    CHECK(!target->Apply(guarded, &error));
    CHECK(error == "the value \"Start\" of Qelmbar changed while qelmbar was working; nothing was "
                   "written, try again");
    CHECK(Read(*target) == before);

    Change away;
    away.DeleteTree(u"Qelmbar");
    CHECK(target->Apply(away, &error));
    CHECK(Read(*target).empty());

    if (failures)
        std::fprintf(stderr, "%d checks failed\n", failures);
    else
        std::printf("live journal: every check held\n");
    return failures ? 1 : 0;
}
