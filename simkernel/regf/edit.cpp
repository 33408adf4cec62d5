/*
 * edit.cpp - changing a hive image in place: keys, their subkey lists,
 * values with their data, class names, times, and the security cells that
 * new keys share or add.
 */
#include "simkernel/regf/bytes.h"
#include "simkernel/regf/regf.h"
#include "simkernel/upcase.h"

#include <algorithm>

namespace sk {
namespace regf {

namespace {

struct Entry {
    uint32_t cell;
    uint32_t hint; /* the hash (lh) or name hint (lf) the leaf keeps */
};

uint32_t FastHint(const std::u16string &name)
{
    uint8_t hint[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < name.size() && i < 4; i++) {
        if (name[i] > 0xFF)
            return 0;
        hint[i] = (uint8_t)name[i];
    }
    return Get32(hint);
}

} // namespace

bool Hive::CompareName(uint32_t keyCell, const std::u16string &upcased, int *order) const
{
    KeyNode key;
    if (!ReadKey(keyCell, &key))
        return false;
    const std::u16string name = Upcase(key.name);
    *order = name < upcased ? -1 : upcased < name ? 1 : 0;
    return true;
}

NTSTATUS Hive::WriteLeaf(uint32_t *leaf, const std::vector<uint32_t> &entries, uint16_t kind)
{
    /* entries holds cell and hint pairs for lf and lh, cells for li. */
    const bool li = kind == Sig("li");
    const size_t count = li ? entries.size() : entries.size() / 2;
    const size_t payload = 4 + entries.size() * 4;
    /* A leaf that grows is given room for more entries, so that adding
     * subkeys one by one does not move it every time. */
    const size_t room = std::min<size_t>(4 + kMaxLeafEntries * 8 + 8, RoundUp(payload, 512));
    NTSTATUS status;
    if (*leaf == kNoCell)
        status = Alloc(payload, leaf);
    else
        status = Resize(*leaf, payload, room, leaf);
    if (!NT_SUCCESS(status))
        return status;
    uint8_t *p = At(*leaf) + 4;
    Put16(p, kind);
    Put16(p + 2, (uint16_t)count);
    for (size_t i = 0; i < entries.size(); i++)
        Put32(p + 4 + 4 * i, entries[i]);
    return STATUS_SUCCESS;
}

namespace {

/* A subkey list taken apart: its leaves, each with the entries as stored
 * (cell, then hint for lf and lh). */
struct Leaves {
    uint32_t root = kNoCell; /* the index root, if there is one */
    std::vector<uint32_t> cells;
    std::vector<std::vector<uint32_t>> entries;
    uint16_t kind = 0;
};

} // namespace

NTSTATUS Hive::InsertSubkey(uint32_t parent, uint32_t child)
{
    KeyNode key, sub;
    if (!ReadKey(parent, &key) || !ReadKey(child, &sub))
        return STATUS_REGISTRY_CORRUPT;
    const std::u16string upcased = Upcase(sub.name);
    const uint16_t kind = header_.minor >= 5 ? Sig("lh") : header_.minor == 4 ? Sig("lf") : Sig("li");

    Leaves list;
    list.kind = kind;
    if (key.subkeyCount) {
        const uint8_t *p;
        size_t size;
        if (!Cell(key.subkeyList, &p, &size) || size < 4)
            return STATUS_REGISTRY_CORRUPT;
        if (Get16(p) == Sig("ri")) {
            list.root = key.subkeyList;
            const size_t n = Get16(p + 2);
            if (n == 0 || 4 + 4 * n > size)
                return STATUS_REGISTRY_CORRUPT;
            for (size_t i = 0; i < n; i++)
                list.cells.push_back(Get32(p + 4 + 4 * i));
        } else {
            list.cells.push_back(key.subkeyList);
        }
    }
    /* A leaf's entries as stored (cell, then hint for lf and lh). */
    auto readLeaf = [&](uint32_t cell, std::vector<uint32_t> *entries, uint16_t *sig) {
        const uint8_t *q;
        size_t qsize;
        if (!Cell(cell, &q, &qsize) || qsize < 4)
            return false;
        *sig = Get16(q);
        if (*sig != Sig("li") && *sig != Sig("lf") && *sig != Sig("lh"))
            return false;
        const size_t words = Get16(q + 2) * (*sig == Sig("li") ? 1 : 2);
        if (4 + 4 * words > qsize)
            return false;
        entries->clear();
        for (size_t i = 0; i < words; i++)
            entries->push_back(Get32(q + 4 + 4 * i));
        return true;
    };

    /* The leaf it goes in: the first whose last entry sorts after it, found
     * by halving over the index root. */
    size_t leafIndex = 0;
    if (list.cells.size() > 1) {
        size_t lo = 0, hi = list.cells.size() - 1;
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            const uint8_t *q;
            size_t qsize;
            int order;
            if (!Cell(list.cells[mid], &q, &qsize) || qsize < 4)
                return STATUS_REGISTRY_CORRUPT;
            const size_t stride = Get16(q) == Sig("li") ? 4 : 8;
            const size_t n = Get16(q + 2);
            if (n == 0 || 4 + n * stride > qsize)
                return STATUS_REGISTRY_CORRUPT;
            if (!CompareName(Get32(q + 4 + (n - 1) * stride), upcased, &order))
                return STATUS_REGISTRY_CORRUPT;
            if (order > 0)
                hi = mid;
            else
                lo = mid + 1;
        }
        leafIndex = lo;
    }
    list.entries.emplace_back();
    if (list.cells.empty()) {
        list.cells.push_back(kNoCell);
    } else if (!readLeaf(list.cells[leafIndex], &list.entries[0], &list.kind)) {
        return STATUS_REGISTRY_CORRUPT;
    }
    const size_t stride = list.kind == Sig("li") ? 1 : 2;
    const uint32_t hint = list.kind == Sig("lh") ? NameHash(sub.name) : FastHint(sub.name);
    std::vector<uint32_t> &entries = list.entries[0];
    size_t lo = 0, hi = entries.size() / stride;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        int order;
        if (!CompareName(entries[mid * stride], upcased, &order))
            return STATUS_REGISTRY_CORRUPT;
        if (order == 0)
            return STATUS_OBJECT_NAME_COLLISION;
        if (order < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    entries.insert(entries.begin() + lo * stride, child);
    if (stride == 2)
        entries.insert(entries.begin() + lo * stride + 1, hint);

    NTSTATUS status;
    if (entries.size() / stride > kMaxLeafEntries) {
        /* Split the leaf in two halves; the list becomes an index root. */
        const size_t half = entries.size() / stride / 2 * stride;
        std::vector<uint32_t> upper(entries.begin() + half, entries.end());
        entries.resize(half);
        status = WriteLeaf(&list.cells[leafIndex], entries, list.kind);
        if (!NT_SUCCESS(status))
            return status;
        uint32_t upperCell = kNoCell;
        status = WriteLeaf(&upperCell, upper, list.kind);
        if (!NT_SUCCESS(status))
            return status;
        list.cells.insert(list.cells.begin() + leafIndex + 1, upperCell);
    } else {
        status = WriteLeaf(&list.cells[leafIndex], entries, list.kind);
        if (!NT_SUCCESS(status))
            return status;
    }
    uint32_t listCell = list.cells[0];
    if (list.cells.size() > 1) {
        listCell = list.root;
        const size_t payload = 4 + 4 * list.cells.size();
        status = listCell == kNoCell ? Alloc(payload, &listCell) : Resize(listCell, payload, &listCell);
        if (!NT_SUCCESS(status))
            return status;
        uint8_t *r = At(listCell) + 4;
        Put16(r, Sig("ri"));
        Put16(r + 2, (uint16_t)list.cells.size());
        for (size_t i = 0; i < list.cells.size(); i++)
            Put32(r + 4 + 4 * i, list.cells[i]);
    }
    uint8_t *nk = At(parent) + 4;
    Put32(nk + kNkSubkeyList, listCell);
    Put32(nk + kNkSubkeys, key.subkeyCount + 1);
    const uint32_t nameBytes = (uint32_t)sub.name.size() * 2;
    if ((key.maxNameField & 0xFFFF) < nameBytes)
        Put32(nk + kNkMaxName, (key.maxNameField & 0xFFFF0000) | nameBytes);
    if (key.maxClass < sub.classLength)
        Put32(nk + kNkMaxClass, sub.classLength);
    return STATUS_SUCCESS;
}

NTSTATUS Hive::RemoveSubkey(uint32_t parent, uint32_t child)
{
    KeyNode key;
    if (!ReadKey(parent, &key) || key.subkeyCount == 0)
        return STATUS_REGISTRY_CORRUPT;
    const uint8_t *p;
    size_t size;
    if (!Cell(key.subkeyList, &p, &size) || size < 4)
        return STATUS_REGISTRY_CORRUPT;
    std::vector<uint32_t> leafCells;
    const bool root = Get16(p) == Sig("ri");
    if (root) {
        for (size_t i = 0; i < Get16(p + 2) && 4 + 4 * i + 4 <= size; i++)
            leafCells.push_back(Get32(p + 4 + 4 * i));
    } else {
        leafCells.push_back(key.subkeyList);
    }
    for (size_t l = 0; l < leafCells.size(); l++) {
        size_t qsize;
        uint8_t *q = MutableCell(leafCells[l], &qsize);
        if (!q || qsize < 4)
            return STATUS_REGISTRY_CORRUPT;
        const size_t stride = Get16(q) == Sig("li") ? 4 : 8;
        const size_t n = Get16(q + 2);
        if (4 + n * stride > qsize)
            return STATUS_REGISTRY_CORRUPT;
        for (size_t i = 0; i < n; i++) {
            if (Get32(q + 4 + i * stride) != child)
                continue;
            memmove(q + 4 + i * stride, q + 4 + (i + 1) * stride, (n - i - 1) * stride);
            memset(q + 4 + (n - 1) * stride, 0, stride);
            Put16(q + 2, (uint16_t)(n - 1));
            uint32_t listCell = key.subkeyList;
            if (n == 1) {
                Free(leafCells[l]);
                leafCells.erase(leafCells.begin() + (long)l);
                if (!root) {
                    listCell = kNoCell;
                } else if (leafCells.empty()) {
                    Free(key.subkeyList);
                    listCell = kNoCell;
                } else {
                    size_t rsize;
                    uint8_t *r = MutableCell(key.subkeyList, &rsize);
                    Put16(r + 2, (uint16_t)leafCells.size());
                    for (size_t j = 0; j < leafCells.size(); j++)
                        Put32(r + 4 + 4 * j, leafCells[j]);
                    Put32(r + 4 + 4 * leafCells.size(), 0);
                }
            }
            uint8_t *nk = At(parent) + 4;
            Put32(nk + kNkSubkeys, key.subkeyCount - 1);
            Put32(nk + kNkSubkeyList, listCell);
            if (key.subkeyCount == 1) {
                /* NT lets the marks go with the last subkey. */
                Put32(nk + kNkMaxName, key.maxNameField & 0xFFFF0000);
                Put32(nk + kNkMaxClass, 0);
            }
            return STATUS_SUCCESS;
        }
    }
    return STATUS_REGISTRY_CORRUPT;
}

/* ---- security -------------------------------------------------------- */

NTSTATUS Hive::AssignSecurity(uint32_t parentSecurity, uint32_t *security)
{
    SecurityNode parent;
    if (!ReadSecurity(parentSecurity, &parent))
        return STATUS_REGISTRY_CORRUPT;
    std::vector<uint8_t> descriptor;
    if (!InheritDescriptor(parent.descriptor.data(), parent.descriptor.size(), &descriptor))
        return STATUS_REGISTRY_CORRUPT;
    if (!descriptorsIndexed_) {
        std::vector<uint32_t> cells;
        if (!SecurityCells(&cells))
            return STATUS_REGISTRY_CORRUPT;
        for (uint32_t cell : cells) {
            SecurityNode sk;
            ReadSecurity(cell, &sk);
            descriptors_.emplace(std::string(sk.descriptor.begin(), sk.descriptor.end()), cell);
        }
        descriptorsIndexed_ = true;
    }
    const std::string text(descriptor.begin(), descriptor.end());
    auto found = descriptors_.find(text);
    if (found != descriptors_.end()) {
        uint8_t *p = At(found->second) + 4;
        Put32(p + kSkReferences, Get32(p + kSkReferences) + 1);
        *security = found->second;
        return STATUS_SUCCESS;
    }
    uint32_t cell;
    NTSTATUS status = Alloc(kSkDescriptor + descriptor.size(), &cell);
    if (!NT_SUCCESS(status))
        return status;
    /* Linked in right after the parent's. */
    uint8_t *p = At(cell) + 4;
    Put16(p, Sig("sk"));
    Put32(p + kSkFlink, parent.flink);
    Put32(p + kSkBlink, parentSecurity);
    Put32(p + kSkReferences, 1);
    Put32(p + kSkLength, (uint32_t)descriptor.size());
    memcpy(p + kSkDescriptor, descriptor.data(), descriptor.size());
    Put32(At(parentSecurity) + 4 + kSkFlink, cell);
    Put32(At(parent.flink) + 4 + kSkBlink, cell);
    descriptors_.emplace(text, cell);
    *security = cell;
    return STATUS_SUCCESS;
}

void Hive::ReleaseSecurity(uint32_t security)
{
    SecurityNode sk;
    if (!ReadSecurity(security, &sk))
        return;
    uint8_t *p = At(security) + 4;
    if (sk.references > 1) {
        Put32(p + kSkReferences, sk.references - 1);
        return;
    }
    Put32(At(sk.blink) + 4 + kSkFlink, sk.flink);
    Put32(At(sk.flink) + 4 + kSkBlink, sk.blink);
    if (descriptorsIndexed_)
        descriptors_.erase(std::string(sk.descriptor.begin(), sk.descriptor.end()));
    Free(security);
}

/* ---- keys ------------------------------------------------------------ */

NTSTATUS Hive::CreateKey(uint32_t parent, const std::u16string &name,
                         const std::u16string &className, bool link, uint64_t time, uint32_t *cell)
{
    KeyNode up;
    if (!ReadKey(parent, &up))
        return STATUS_REGISTRY_CORRUPT;
    if (name.empty() || name.size() > 255 || className.size() > 0x7FFF)
        return STATUS_INVALID_PARAMETER;
    uint32_t security;
    NTSTATUS status = AssignSecurity(up.security, &security);
    if (!NT_SUCCESS(status))
        return status;
    uint32_t classCell = kNoCell;
    if (!className.empty()) {
        status = Alloc(className.size() * 2, &classCell);
        if (!NT_SUCCESS(status))
            return status;
        PutName(At(classCell) + 4, className, false);
    }
    const bool compressed = Compressible(name);
    uint32_t nk;
    status = Alloc(kNkName + StoredNameBytes(name), &nk);
    if (!NT_SUCCESS(status))
        return status;
    uint8_t *p = At(nk) + 4;
    Put16(p, Sig("nk"));
    Put16(p + kNkFlags, (uint16_t)((compressed ? kKeyCompName : 0) | (link ? kKeySymLink : 0)));
    Put64(p + kNkLastWrite, time);
    Put32(p + kNkParent, parent);
    Put32(p + kNkSubkeyList, kNoCell);
    Put32(p + kNkVolatileSubkeyList, kNoCell);
    Put32(p + kNkValueList, kNoCell);
    Put32(p + kNkSecurity, security);
    Put32(p + kNkClass, classCell);
    Put16(p + kNkNameLength, (uint16_t)StoredNameBytes(name));
    Put16(p + kNkClassLength, (uint16_t)(className.size() * 2));
    PutName(p + kNkName, name, compressed);
    status = InsertSubkey(parent, nk);
    if (status == STATUS_OBJECT_NAME_COLLISION) {
        /* Refused before the list changed: the cells go again. */
        Free(nk);
        if (classCell != kNoCell)
            Free(classCell);
        ReleaseSecurity(security);
    }
    if (!NT_SUCCESS(status))
        return status;
    *cell = nk;
    return STATUS_SUCCESS;
}

NTSTATUS Hive::DeleteKey(uint32_t cell)
{
    KeyNode key;
    if (!ReadKey(cell, &key) || cell == header_.rootCell)
        return STATUS_REGISTRY_CORRUPT;
    NTSTATUS status = RemoveSubkey(key.parent, cell);
    if (!NT_SUCCESS(status))
        return status;
    /* The key and everything beneath it, depth first. */
    std::vector<uint32_t> pending{cell};
    while (!pending.empty()) {
        const uint32_t at = pending.back();
        pending.pop_back();
        KeyNode k;
        std::vector<uint32_t> children, values;
        if (!ReadKey(at, &k) || !Subkeys(k, &children) || !ValueCells(k, &values))
            return STATUS_REGISTRY_CORRUPT;
        pending.insert(pending.end(), children.begin(), children.end());
        if (k.subkeyCount) {
            const uint8_t *p;
            size_t size;
            Cell(k.subkeyList, &p, &size);
            if (Get16(p) == Sig("ri")) {
                for (size_t i = 0; i < Get16(p + 2); i++)
                    Free(Get32(At(k.subkeyList) + 8 + 4 * i));
            }
            Free(k.subkeyList);
        }
        for (uint32_t vk : values)
            FreeValue(vk);
        if (k.valueCount)
            Free(k.valueList);
        if (k.classLength && k.classCell != kNoCell)
            Free(k.classCell);
        ReleaseSecurity(k.security);
        Free(at);
    }
    return STATUS_SUCCESS;
}

NTSTATUS Hive::SetClass(uint32_t key, const std::u16string &className)
{
    KeyNode k;
    if (!ReadKey(key, &k))
        return STATUS_REGISTRY_CORRUPT;
    if (className.size() > 0x7FFF)
        return STATUS_INVALID_PARAMETER;
    uint32_t cell = kNoCell;
    if (!className.empty()) {
        NTSTATUS status = Alloc(className.size() * 2, &cell);
        if (!NT_SUCCESS(status))
            return status;
        PutName(At(cell) + 4, className, false);
    }
    if (k.classCell != kNoCell && k.classLength)
        Free(k.classCell);
    uint8_t *p = At(key) + 4;
    Put32(p + kNkClass, cell);
    Put16(p + kNkClassLength, (uint16_t)(className.size() * 2));
    return STATUS_SUCCESS;
}

NTSTATUS Hive::SetLastWrite(uint32_t key, uint64_t time)
{
    KeyNode k;
    if (!ReadKey(key, &k))
        return STATUS_REGISTRY_CORRUPT;
    Put64(At(key) + 4 + kNkLastWrite, time);
    return STATUS_SUCCESS;
}

NTSTATUS Hive::SetMarks(uint32_t key, uint32_t maxName, uint32_t maxClass, uint32_t maxValueName,
                        uint32_t maxValueData)
{
    KeyNode k;
    if (!ReadKey(key, &k))
        return STATUS_REGISTRY_CORRUPT;
    uint8_t *p = At(key) + 4;
    Put32(p + kNkMaxName, (k.maxNameField & 0xFFFF0000) | (maxName & 0xFFFF));
    Put32(p + kNkMaxClass, maxClass);
    Put32(p + kNkMaxValueName, maxValueName);
    Put32(p + kNkMaxValueData, maxValueData);
    return STATUS_SUCCESS;
}

/* ---- values ---------------------------------------------------------- */

NTSTATUS Hive::WriteData(const uint8_t *data, size_t size, uint32_t *dataField,
                         uint32_t *sizeField)
{
    if (size > 0x7FFFFFFF)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (size <= 4) {
        uint8_t inline4[4] = {0, 0, 0, 0};
        if (size)
            memcpy(inline4, data, size);
        *dataField = Get32(inline4);
        *sizeField = (uint32_t)size | kInlineData;
        return STATUS_SUCCESS;
    }
    *sizeField = (uint32_t)size;
    NTSTATUS status;
    if (size <= kBigDataSegment || header_.minor < 4) {
        status = Alloc(size, dataField);
        if (NT_SUCCESS(status))
            memcpy(At(*dataField) + 4, data, size);
        return status;
    }
    const size_t segments = (size + kBigDataSegment - 1) / kBigDataSegment;
    std::vector<uint32_t> cells;
    for (size_t i = 0; i < segments; i++) {
        const size_t part = std::min(kBigDataSegment, size - i * kBigDataSegment);
        uint32_t cell;
        status = Alloc(part, &cell);
        if (!NT_SUCCESS(status))
            return status;
        memcpy(At(cell) + 4, data + i * kBigDataSegment, part);
        cells.push_back(cell);
    }
    uint32_t list, db;
    status = Alloc(4 * segments, &list);
    if (!NT_SUCCESS(status))
        return status;
    for (size_t i = 0; i < segments; i++)
        Put32(At(list) + 4 + 4 * i, cells[i]);
    status = Alloc(8, &db);
    if (!NT_SUCCESS(status))
        return status;
    uint8_t *p = At(db) + 4;
    Put16(p, Sig("db"));
    Put16(p + 2, (uint16_t)segments);
    Put32(p + 4, list);
    *dataField = db;
    return STATUS_SUCCESS;
}

void Hive::FreeData(uint32_t dataField, uint32_t sizeField)
{
    if ((sizeField & kInlineData) || sizeField == 0)
        return;
    const uint8_t *p;
    size_t size;
    if (!Cell(dataField, &p, &size))
        return;
    if (sizeField > size && size >= 8 && Get16(p) == Sig("db")) {
        const size_t segments = Get16(p + 2);
        const uint32_t list = Get32(p + 4);
        const uint8_t *l;
        size_t lsize;
        if (Cell(list, &l, &lsize) && segments * 4 <= lsize) {
            std::vector<uint32_t> cells;
            for (size_t i = 0; i < segments; i++)
                cells.push_back(Get32(l + 4 * i));
            for (uint32_t cell : cells)
                Free(cell);
            Free(list);
        }
    }
    Free(dataField);
}

void Hive::FreeValue(uint32_t vk)
{
    const uint8_t *p;
    size_t size;
    if (!Cell(vk, &p, &size) || size < kVkName)
        return;
    FreeData(Get32(p + kVkData), Get32(p + kVkDataLength));
    Free(vk);
}

bool Hive::FindValueCell(uint32_t key, const std::u16string &name, uint32_t *vk, size_t *index,
                         std::vector<uint32_t> *list) const
{
    KeyNode k;
    if (!ReadKey(key, &k) || !ValueCells(k, list))
        return false;
    const std::u16string upcased = Upcase(name);
    *vk = kNoCell;
    for (size_t i = 0; i < list->size(); i++) {
        ValueNode v;
        const uint8_t *p;
        size_t size;
        if (!Cell((*list)[i], &p, &size) || size < kVkName)
            return false;
        std::u16string stored;
        if (!GetName(p + kVkName, size - kVkName, Get16(p + kVkNameLength),
                     (Get16(p + kVkFlags) & kValueCompName) != 0, &stored))
            return false;
        if (stored.size() == name.size() && Upcase(stored) == upcased) {
            *vk = (*list)[i];
            *index = i;
            return true;
        }
    }
    return true;
}

NTSTATUS Hive::WriteValueList(uint32_t key, const std::vector<uint32_t> &cells)
{
    KeyNode k;
    if (!ReadKey(key, &k))
        return STATUS_REGISTRY_CORRUPT;
    uint32_t list = k.valueList;
    if (cells.empty()) {
        if (k.valueCount && list != kNoCell)
            Free(list);
        list = kNoCell;
    } else {
        NTSTATUS status = k.valueCount == 0 || list == kNoCell
                              ? Alloc(4 * cells.size(), &list)
                              : Resize(list, 4 * cells.size(), &list);
        if (!NT_SUCCESS(status))
            return status;
        for (size_t i = 0; i < cells.size(); i++)
            Put32(At(list) + 4 + 4 * i, cells[i]);
    }
    uint8_t *p = At(key) + 4;
    Put32(p + kNkValueList, list);
    Put32(p + kNkValues, (uint32_t)cells.size());
    return STATUS_SUCCESS;
}

NTSTATUS Hive::SetValue(uint32_t key, const std::u16string &name, uint32_t type,
                        const uint8_t *data, size_t size)
{
    uint32_t vk;
    size_t index = 0;
    std::vector<uint32_t> list;
    if (!FindValueCell(key, name, &vk, &index, &list))
        return STATUS_REGISTRY_CORRUPT;
    if (name.size() > 16383)
        return STATUS_INVALID_PARAMETER;
    const bool compressed = Compressible(name);
    const size_t payload = kVkName + StoredNameBytes(name);
    NTSTATUS status;
    const bool existed = vk != kNoCell;
    if (!existed) {
        status = Alloc(payload, &vk);
    } else {
        const uint8_t *p;
        size_t cellSize;
        Cell(vk, &p, &cellSize);
        FreeData(Get32(p + kVkData), Get32(p + kVkDataLength));
        status = Resize(vk, payload, &vk);
    }
    if (!NT_SUCCESS(status))
        return status;
    uint32_t dataField, sizeField;
    status = WriteData(data, size, &dataField, &sizeField);
    if (!NT_SUCCESS(status))
        return status;
    uint8_t *p = At(vk) + 4;
    Put16(p, Sig("vk"));
    Put16(p + kVkNameLength, (uint16_t)StoredNameBytes(name));
    Put32(p + kVkDataLength, sizeField);
    Put32(p + kVkData, dataField);
    Put32(p + kVkType, type);
    Put16(p + kVkFlags, (uint16_t)((Get16(p + kVkFlags) & ~kValueCompName) |
                                   (compressed ? kValueCompName : 0)));
    PutName(p + kVkName, name, compressed);
    if (existed)
        list[index] = vk; /* it may have moved */
    else
        list.push_back(vk);
    status = WriteValueList(key, list);
    if (!NT_SUCCESS(status))
        return status;
    KeyNode k;
    ReadKey(key, &k);
    uint8_t *nk = At(key) + 4;
    if (k.maxValueName < name.size() * 2)
        Put32(nk + kNkMaxValueName, (uint32_t)name.size() * 2);
    if (k.maxValueData < size)
        Put32(nk + kNkMaxValueData, (uint32_t)size);
    return STATUS_SUCCESS;
}

NTSTATUS Hive::DeleteValue(uint32_t key, const std::u16string &name)
{
    uint32_t vk;
    size_t index = 0;
    std::vector<uint32_t> list;
    if (!FindValueCell(key, name, &vk, &index, &list))
        return STATUS_REGISTRY_CORRUPT;
    if (vk == kNoCell)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    FreeValue(vk);
    list.erase(list.begin() + (long)index);
    NTSTATUS status = WriteValueList(key, list);
    if (!NT_SUCCESS(status))
        return status;
    if (list.empty()) {
        uint8_t *nk = At(key) + 4;
        Put32(nk + kNkMaxValueName, 0);
        Put32(nk + kNkMaxValueData, 0);
    }
    return STATUS_SUCCESS;
}

} // namespace regf
} // namespace sk
