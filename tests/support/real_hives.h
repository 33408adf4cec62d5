/*
 * real_hives.h - the real Windows hives kept in tests/data/hives, unpacked
 * for a test; and a walk over a hive image that the hive tests compare
 * two images with.
 */
#pragma once

#include "simkernel/regf/regf.h"
#include "simkernel/upcase.h"

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qelmbar::test {

/* The bytes of tests/data/hives/<name>.xz unpacked (read once a run). */
inline const std::vector<uint8_t> &RealHive(const std::string &name)
{
    static std::map<std::string, std::vector<uint8_t>> unpacked;
    auto found = unpacked.find(name);
    if (found != unpacked.end())
        return found->second;
    std::vector<uint8_t> &bytes = unpacked[name];
    const std::string command =
        "xz -dc '" + std::string(QELMBAR_SOURCE_DIR) + "/tests/data/hives/" + name + ".xz'";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    pclose(pipe);
    return bytes;
}

/* What a key is at the level of its cells, with its path. */
struct KeyState {
    sk::regf::KeyNode node;
    std::u16string className;
    std::vector<uint8_t> descriptor;
    std::vector<sk::regf::ValueNode> values;
    std::vector<std::u16string> subkeys;
};

/* Every key of the image by its path upcased (components joined by '\'),
 * read with the library; false when a cell does not read. */
inline bool WalkKeys(const sk::regf::Hive &hive, std::map<std::u16string, KeyState> *out)
{
    struct Pending {
        uint32_t cell;
        std::u16string path;
    };
    std::vector<Pending> pending{{hive.RootCell(), u""}};
    while (!pending.empty()) {
        Pending at = pending.back();
        pending.pop_back();
        KeyState state;
        sk::regf::SecurityNode sk;
        std::vector<uint32_t> cells;
        if (!hive.ReadKey(at.cell, &state.node) || !hive.ReadClass(state.node, &state.className) ||
            !hive.ReadSecurity(state.node.security, &sk) || !hive.ValueCells(state.node, &cells))
            return false;
        state.descriptor = sk.descriptor;
        for (uint32_t vk : cells) {
            sk::regf::ValueNode value;
            if (!hive.ReadValue(vk, &value))
                return false;
            state.values.push_back(std::move(value));
        }
        if (!hive.Subkeys(state.node, &cells))
            return false;
        for (uint32_t child : cells) {
            sk::regf::KeyNode node;
            if (!hive.ReadKey(child, &node))
                return false;
            state.subkeys.push_back(node.name);
            pending.push_back({child, at.path.empty() ? node.name : at.path + u"\\" + node.name});
        }
        (*out)[sk::Upcase(at.path)] = std::move(state);
    }
    return true;
}

inline std::unique_ptr<sk::regf::Hive> OpenHive(const std::vector<uint8_t> &bytes)
{
    std::unique_ptr<sk::regf::Hive> hive;
    sk::regf::Refusal why;
    if (!NT_SUCCESS(sk::regf::Hive::Open(bytes, &hive, &why)))
        return nullptr;
    return hive;
}

} // namespace qelmbar::test
