/*
 * check.cpp - the structural check of a hive: every key from the root,
 * every cell it refers to, and the list of security cells.
 */
#include "simkernel/regf/bytes.h"
#include "simkernel/regf/regf.h"
#include "simkernel/upcase.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace sk {
namespace regf {

namespace {

std::string Utf8(const std::u16string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        }
        if (c < 0x80) {
            out.push_back((char)c);
        } else if (c < 0x800) {
            out.push_back((char)(0xC0 | c >> 6));
            out.push_back((char)(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back((char)(0xE0 | c >> 12));
            out.push_back((char)(0x80 | (c >> 6 & 0x3F)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        } else {
            out.push_back((char)(0xF0 | c >> 18));
            out.push_back((char)(0x80 | (c >> 12 & 0x3F)));
            out.push_back((char)(0x80 | (c >> 6 & 0x3F)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

} // namespace

class Checker {
public:
    Checker(const Hive &hive, Refusal *why) : hive_(hive), why_(why) {}

    NTSTATUS Run(CheckCounts *counts)
    {
        /* Where every allocated cell starts, so that a reference into the
         * middle of one is caught. */
        for (size_t b = 0; b < hive_.binStarts_.size(); b++) {
            const uint32_t start = hive_.binStarts_[b];
            const uint32_t end = hive_.BinEndOf(start);
            for (uint32_t cell = start + kBinHeaderSize; cell < end;) {
                const int32_t raw = (int32_t)Get32(hive_.At(cell));
                if (raw < 0)
                    starts_.push_back(cell);
                cell += (uint32_t)(raw < 0 ? -raw : raw);
            }
        }
        std::u16string path;
        NTSTATUS status = Key(hive_.RootCell(), kNoCell, path, 0);
        if (!NT_SUCCESS(status))
            return status;
        status = SecurityList();
        if (!NT_SUCCESS(status))
            return status;
        if (counts) {
            counts_.descriptors = skUsers_.size();
            *counts = counts_;
        }
        return STATUS_SUCCESS;
    }

private:
    NTSTATUS Fail(const std::u16string &path, const std::string &what)
    {
        if (why_) {
            why_->status = STATUS_REGISTRY_CORRUPT;
            why_->message = "key \"" + Utf8(path) + "\": " + what;
        }
        return STATUS_REGISTRY_CORRUPT;
    }

    /* A cell referred to once: allocated, at a cell's start, not claimed
     * before. */
    bool Claim(uint32_t cell)
    {
        if (!std::binary_search(starts_.begin(), starts_.end(), cell))
            return false;
        return claimed_.insert(cell).second;
    }

    bool ClaimedCell(uint32_t cell, const uint8_t **p, size_t *size)
    {
        return Claim(cell) && hive_.Cell(cell, p, size);
    }

    NTSTATUS Key(uint32_t cell, uint32_t parent, std::u16string &path, int depth)
    {
        const uint8_t *p;
        size_t size;
        if (!ClaimedCell(cell, &p, &size))
            return Fail(path, "its key cell is out of range, not allocated or used twice");
        KeyNode key;
        if (!hive_.ReadKey(cell, &key))
            return Fail(path, "its cell is no key node or its name does not fit");
        const size_t pathLength = path.size();
        if (parent != kNoCell) {
            if (!path.empty())
                path += u"\\";
            path += key.name;
        }
        if (depth > kMaxKeyDepth)
            return Fail(path, "nested deeper than 512 levels");
        if (parent != kNoCell && (key.name.empty() || key.name.size() > 255))
            return Fail(path, "its name is empty or longer than 255 characters");
        if (parent != kNoCell && key.parent != parent)
            return Fail(path, "its parent field does not point at its parent");
        counts_.keys++;

        if (key.classLength) {
            const uint8_t *c;
            size_t csize;
            if (!ClaimedCell(key.classCell, &c, &csize) || key.classLength > csize ||
                key.classLength % 2)
                return Fail(path, "its class name cell is bad");
            counts_.classes++;
        }

        if (!std::binary_search(starts_.begin(), starts_.end(), key.security))
            return Fail(path, "its security cell is out of range");
        SecurityNode sk;
        if (!hive_.ReadSecurity(key.security, &sk))
            return Fail(path, "its security cell is no security cell");
        skUsers_[key.security]++;

        NTSTATUS status = Values(key, path);
        if (!NT_SUCCESS(status))
            return status;

        std::vector<uint32_t> subkeys;
        status = SubkeyList(key, path, &subkeys);
        if (!NT_SUCCESS(status))
            return status;
        std::u16string previous;
        for (size_t i = 0; i < subkeys.size(); i++) {
            KeyNode child;
            if (!hive_.ReadKey(subkeys[i], &child))
                return Fail(path, "subkey " + std::to_string(i) + " of its list is no key node");
            std::u16string upcased = Upcase(child.name);
            if (i && !(previous < upcased))
                return Fail(path, "its subkey list is not in order at \"" + Utf8(child.name) + "\"");
            if (leafHashes_[i] != kNoHash && leafHashes_[i] != NameHash(child.name))
                return Fail(path, "the hash of subkey \"" + Utf8(child.name) + "\" is wrong");
            previous = std::move(upcased);
        }
        for (uint32_t child : subkeys) {
            status = Key(child, cell, path, depth + 1);
            if (!NT_SUCCESS(status))
                return status;
        }
        path.resize(pathLength);
        return STATUS_SUCCESS;
    }

    static constexpr uint64_t kNoHash = ~0ull;

    NTSTATUS Leaf(uint32_t cell, const std::u16string &path, std::vector<uint32_t> *out)
    {
        const uint8_t *p;
        size_t size;
        if (!ClaimedCell(cell, &p, &size) || size < 4)
            return Fail(path, "a cell of its subkey list is bad");
        const uint16_t sig = Get16(p);
        const size_t n = Get16(p + 2);
        const bool li = sig == Sig("li");
        if (!li && sig != Sig("lf") && sig != Sig("lh"))
            return Fail(path, sig == Sig("ri") ? "an index root points at an index root"
                                               : "its subkey list is no list");
        if ((sig == Sig("lf") && hive_.header().minor < 4) ||
            (sig == Sig("lh") && hive_.header().minor < 5))
            return Fail(path, "its subkey list is of a kind its hive version does not know");
        const size_t stride = li ? 4 : 8;
        if (4 + n * stride > size)
            return Fail(path, "its subkey list is longer than its cell");
        for (size_t i = 0; i < n; i++) {
            out->push_back(Get32(p + 4 + i * stride));
            leafHashes_.push_back(sig == Sig("lh") ? Get32(p + 8 + i * stride) : kNoHash);
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS SubkeyList(const KeyNode &key, const std::u16string &path, std::vector<uint32_t> *out)
    {
        leafHashes_.clear();
        if (key.subkeyCount == 0)
            return STATUS_SUCCESS;
        const uint8_t *p;
        size_t size;
        if (!hive_.Cell(key.subkeyList, &p, &size) || size < 4)
            return Fail(path, "its subkey list is out of range");
        if (Get16(p) == Sig("ri")) {
            if (!Claim(key.subkeyList))
                return Fail(path, "its index root is used twice");
            const size_t n = Get16(p + 2);
            if (4 + n * 4 > size)
                return Fail(path, "its index root is longer than its cell");
            for (size_t i = 0; i < n; i++) {
                NTSTATUS status = Leaf(Get32(p + 4 + 4 * i), path, out);
                if (!NT_SUCCESS(status))
                    return status;
            }
        } else {
            NTSTATUS status = Leaf(key.subkeyList, path, out);
            if (!NT_SUCCESS(status))
                return status;
        }
        if (out->size() != key.subkeyCount)
            return Fail(path, "it counts " + std::to_string(key.subkeyCount) +
                                  " subkeys but its list holds " + std::to_string(out->size()));
        return STATUS_SUCCESS;
    }

    NTSTATUS Values(const KeyNode &key, const std::u16string &path)
    {
        if (key.valueCount == 0)
            return STATUS_SUCCESS;
        const uint8_t *p;
        size_t size;
        if (!ClaimedCell(key.valueList, &p, &size) || (size_t)key.valueCount * 4 > size)
            return Fail(path, "it counts " + std::to_string(key.valueCount) +
                                  " values but its value list does not hold them");
        std::unordered_set<std::u16string> names;
        for (size_t i = 0; i < key.valueCount; i++) {
            const uint32_t vk = Get32(p + 4 * i);
            const uint8_t *v;
            size_t vsize;
            ValueNode value;
            if (!ClaimedCell(vk, &v, &vsize) || !hive_.ReadValue(vk, &value))
                return Fail(path, "value " + std::to_string(i) + " is bad");
            if (!names.insert(Upcase(value.name)).second)
                return Fail(path, "value \"" + Utf8(value.name) + "\" is there twice");
            const uint32_t length = Get32(v + kVkDataLength);
            const uint32_t data = Get32(v + kVkData);
            if (!(length & kInlineData) && length) {
                const uint8_t *d;
                size_t dsize;
                if (!ClaimedCell(data, &d, &dsize))
                    return Fail(path, "the data of value \"" + Utf8(value.name) +
                                          "\" is out of range or used twice");
                if (length > dsize) {
                    counts_.bigData++;
                    const uint8_t *list;
                    size_t listSize;
                    const size_t segments = Get16(d + 2);
                    if (!ClaimedCell(Get32(d + 4), &list, &listSize))
                        return Fail(path, "the big data of value \"" + Utf8(value.name) +
                                              "\" is bad");
                    for (size_t s = 0; s < segments; s++) {
                        if (!Claim(Get32(list + 4 * s)))
                            return Fail(path, "a segment of value \"" + Utf8(value.name) +
                                                  "\" is used twice");
                    }
                }
            }
            counts_.values++;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS SecurityList()
    {
        KeyNode root;
        hive_.ReadKey(hive_.RootCell(), &root);
        const std::u16string none;
        uint32_t at = root.security, previous = 0;
        SecurityNode first;
        hive_.ReadSecurity(at, &first);
        previous = first.blink;
        std::unordered_set<uint32_t> listed;
        do {
            SecurityNode sk;
            if (!hive_.ReadSecurity(at, &sk) || !Claim(at))
                return Fail(none, "the security list reaches a bad or repeated cell");
            if (sk.blink != previous)
                return Fail(none, "the security list's back link at cell " + std::to_string(at) +
                                      " is wrong");
            auto users = skUsers_.find(at);
            const uint32_t used = users == skUsers_.end() ? 0 : users->second;
            if (sk.references != used)
                return Fail(none, "the security cell at " + std::to_string(at) + " counts " +
                                      std::to_string(sk.references) + " references but " +
                                      std::to_string(used) + " keys use it");
            listed.insert(at);
            previous = at;
            at = sk.flink;
        } while (at != root.security);
        for (const auto &user : skUsers_) {
            if (!listed.count(user.first))
                return Fail(none, "the security cell at " + std::to_string(user.first) +
                                      " is not on the security list");
        }
        return STATUS_SUCCESS;
    }

    const Hive &hive_;
    Refusal *why_;
    std::vector<uint32_t> starts_;
    std::unordered_set<uint32_t> claimed_;
    std::unordered_map<uint32_t, uint32_t> skUsers_;
    std::vector<uint64_t> leafHashes_;
    CheckCounts counts_;
};

NTSTATUS Hive::Check(Refusal *why, CheckCounts *counts) const
{
    Checker checker(*this, why);
    return checker.Run(counts);
}

} // namespace regf
} // namespace sk
