/*
 * machine_state.cpp - a machine directory's files and keys taken whole,
 * compared, and written out as a .reg file.
 */
#include "tools/lib/machine_state.h"

#include "simkernel/text.h"
#include "tools/lib/json.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qelmbar {

namespace {

namespace fs = std::filesystem;

std::string U8(const std::u16string &text)
{
    return sk::Utf8FromUtf16(text);
}

/* ---- SHA-256 ------------------------------------------------------------- */

uint32_t Rotate(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

void Compress(uint32_t h[8], const unsigned char block[64])
{
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)block[4 * i] << 24 | (uint32_t)block[4 * i + 1] << 16 |
               (uint32_t)block[4 * i + 2] << 8 | block[4 * i + 3];
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; i++) {
        uint32_t t1 = k + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) +
                      kRound[i] + w[i];
        uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += k;
}

/* ---- the volume ----------------------------------------------------------- */

bool IsHiveFile(const fs::path &relative)
{
    if (relative.parent_path() != fs::path("Windows") / "System32" / "config")
        return false;
    std::string name = relative.filename().string();
    std::transform(name.begin(), name.end(), name.begin(), ::toupper);
    for (qm::Hive hive : qm::kAllHives) {
        std::string hiveName = qm::HiveFileName(hive);
        if (name == hiveName || name.compare(0, hiveName.size() + 1, hiveName + ".") == 0)
            return true;
    }
    return false;
}

std::string VolumePath(const fs::path &relative)
{
    std::string path = "C:";
    for (const fs::path &part : relative)
        path += "\\" + part.string();
    return path;
}

bool ReadVolume(const std::string &dir, std::vector<VolumeEntry> *files, std::string *error)
{
    const fs::path root = qm::VolumeRoot(dir);
    std::error_code ec;
    fs::recursive_directory_iterator it(root, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::path relative = it->path().lexically_relative(root);
        if (IsHiveFile(relative))
            continue;
        VolumeEntry entry;
        entry.Path = VolumePath(relative);
        if (it->is_symlink(ec)) {
            continue;
        } else if (it->is_directory(ec)) {
            entry.Directory = true;
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            if (!in && !in.eof()) {
                *error = "cannot read " + it->path().string();
                return false;
            }
            entry.Size = bytes.str().size();
            entry.Sha256 = Sha256Hex(bytes.str());
        }
        files->push_back(entry);
    }
    if (ec) {
        *error = "cannot read " + root.string() + ": " + ec.message();
        return false;
    }
    std::sort(files->begin(), files->end(),
              [](const VolumeEntry &a, const VolumeEntry &b) { return a.Path < b.Path; });
    return true;
}

/* ---- keys ------------------------------------------------------------------ */

std::string FileText(const VolumeEntry &entry)
{
    return std::to_string(entry.Size) + (entry.Size == 1 ? " byte" : " bytes") + ", sha256 " +
           entry.Sha256;
}

class Differ {
public:
    explicit Differ(std::vector<MachineChange> *out) : out_(out) {}

    void Key(const std::u16string &path, const qm::MachineKey *before, const qm::MachineKey *after)
    {
        if (!before || !after) {
            Whole(path, before ? *before : *after,
                  before ? MachineChange::Kind::Removed : MachineChange::Kind::Added);
            return;
        }
        for (const auto &[name, value] : before->values) {
            const qm::MachineValue *other = FindValue(*after, name);
            if (!other)
                Add(MachineChange::Kind::Removed, MachineChange::Item::Value, path, name,
                    DescribeValue(value), "");
            else if (other->type != value.type || other->data != value.data)
                Add(MachineChange::Kind::Changed, MachineChange::Item::Value, path, name,
                    DescribeValue(value), DescribeValue(*other));
        }
        for (const auto &[name, value] : after->values) {
            if (!FindValue(*before, name))
                Add(MachineChange::Kind::Added, MachineChange::Item::Value, path, name, "",
                    DescribeValue(value));
        }
        /* Subkeys in the order of the later state, then those gone. */
        for (const qm::MachineKey &subkey : after->subkeys)
            Key(path + u"\\" + subkey.name, FindKey(*before, subkey.name), &subkey);
        for (const qm::MachineKey &subkey : before->subkeys) {
            if (!FindKey(*after, subkey.name))
                Key(path + u"\\" + subkey.name, &subkey, nullptr);
        }
    }

private:
    static const qm::MachineValue *FindValue(const qm::MachineKey &key, const std::u16string &name)
    {
        for (const auto &[n, value] : key.values) {
            if (qm::EqualsIgnoringCase(n, name))
                return &value;
        }
        return nullptr;
    }

    static const qm::MachineKey *FindKey(const qm::MachineKey &key, const std::u16string &name)
    {
        for (const qm::MachineKey &subkey : key.subkeys) {
            if (qm::EqualsIgnoringCase(subkey.name, name))
                return &subkey;
        }
        return nullptr;
    }

    /* A key that is there on one side only, with everything in it. */
    void Whole(const std::u16string &path, const qm::MachineKey &key, MachineChange::Kind kind)
    {
        bool added = kind == MachineChange::Kind::Added;
        Add(kind, MachineChange::Item::Key, path, u"", "", "");
        for (const auto &[name, value] : key.values)
            Add(kind, MachineChange::Item::Value, path, name, added ? "" : DescribeValue(value),
                added ? DescribeValue(value) : "");
        for (const qm::MachineKey &subkey : key.subkeys)
            Whole(path + u"\\" + subkey.name, subkey, kind);
    }

    void Add(MachineChange::Kind kind, MachineChange::Item item, const std::u16string &path,
             const std::u16string &name, std::string before, std::string after)
    {
        MachineChange change;
        change.Change = kind;
        change.What = item;
        change.Path = U8(path);
        change.Value = U8(name);
        change.Before = std::move(before);
        change.After = std::move(after);
        out_->push_back(std::move(change));
    }

    std::vector<MachineChange> *out_;
};

std::string Quoted(const std::u16string &text)
{
    std::string out = "\"";
    for (char c : U8(text)) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string HexBytes(const std::vector<uint8_t> &data, const char *separator)
{
    std::string text;
    char two[4];
    for (size_t i = 0; i < data.size(); i++) {
        std::snprintf(two, sizeof(two), "%02x", data[i]);
        if (i > 0)
            text += separator;
        text += two;
    }
    return text;
}

/* Text data that is whole UTF-16 strings: the string (REG_SZ) or strings
 * (REG_MULTI_SZ), or nothing when the data is not so formed. */
std::optional<std::u16string> WholeString(const std::vector<uint8_t> &data)
{
    if (data.size() < 2 || data.size() % 2 != 0)
        return std::nullopt;
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), data.size());
    if (text.back() != u'\0' || text.find(u'\0') != text.size() - 1)
        return std::nullopt;
    text.pop_back();
    return text;
}

std::optional<std::vector<std::u16string>> WholeStrings(const std::vector<uint8_t> &data)
{
    if (data.size() < 2 || data.size() % 2 != 0)
        return std::nullopt;
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), data.size());
    if (text.size() < 2 || text[text.size() - 1] != u'\0' || text[text.size() - 2] != u'\0') {
        if (text == std::u16string(1, u'\0'))
            return std::vector<std::u16string>();
        return std::nullopt;
    }
    std::vector<std::u16string> strings;
    size_t start = 0;
    while (start < text.size() - 1) {
        size_t end = text.find(u'\0', start);
        if (end == start)
            return std::nullopt; /* an empty string inside the list */
        strings.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

void Append(std::u16string *text, const std::string &utf8)
{
    *text += *sk::Utf16FromUtf8(utf8);
}

std::string RegKeyHeader(qm::Hive hive, const std::u16string &keyPath)
{
    std::string root = hive == qm::Hive::Default ? "HKEY_USERS\\.DEFAULT"
                                                 : std::string("HKEY_LOCAL_MACHINE\\") +
                                                       qm::HiveFileName(hive);
    return root + (keyPath.empty() ? "" : "\\" + U8(keyPath));
}

/* name=hex(N):..., wrapped as the registry editor wraps it: lines of at
 * most 80 characters, each but the last ending in a backslash. */
std::string HexValueLine(const std::string &prefix, const std::vector<uint8_t> &data)
{
    std::string text = prefix;
    size_t lineStart = 0;
    char two[4];
    for (size_t i = 0; i < data.size(); i++) {
        std::snprintf(two, sizeof(two), "%02x", data[i]);
        text += two;
        if (i + 1 < data.size()) {
            text += ",";
            if (text.size() - lineStart > 76) {
                text += "\\\r\n  ";
                lineStart = text.size() - 2;
            }
        }
    }
    return text;
}

void ExportKey(qm::Hive hive, const std::u16string &keyPath, const qm::MachineKey &key,
               std::u16string *text)
{
    Append(text, "[" + RegKeyHeader(hive, keyPath) + "]\r\n");
    for (const auto &[name, value] : key.values) {
        std::string prefix = (name.empty() ? std::string("@") : Quoted(name)) + "=";
        std::string line;
        std::optional<std::u16string> string = WholeString(value.data);
        if (value.type == REG_SZ && string) {
            line = prefix + Quoted(*string);
        } else if (value.type == REG_DWORD && value.data.size() == 4) {
            char digits[16];
            uint32_t number;
            std::memcpy(&number, value.data.data(), 4);
            std::snprintf(digits, sizeof(digits), "%08x", number);
            line = prefix + "dword:" + digits;
        } else if (value.type == REG_BINARY) {
            line = HexValueLine(prefix + "hex:", value.data);
        } else {
            char type[24];
            std::snprintf(type, sizeof(type), "hex(%x):", (unsigned)value.type);
            line = HexValueLine(prefix + type, value.data);
        }
        Append(text, line + "\r\n");
    }
    Append(text, "\r\n");
    for (const qm::MachineKey &subkey : key.subkeys)
        ExportKey(hive, keyPath.empty() ? subkey.name : keyPath + u"\\" + subkey.name, subkey, text);
}

} // namespace

std::string Sha256Hex(const std::string &bytes)
{
    uint32_t h[8] = { 0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19 };
    std::string padded = bytes;
    padded.push_back((char)0x80);
    while (padded.size() % 64 != 56)
        padded.push_back('\0');
    uint64_t bits = (uint64_t)bytes.size() * 8;
    for (int i = 7; i >= 0; i--)
        padded.push_back((char)(bits >> (8 * i)));
    for (size_t i = 0; i < padded.size(); i += 64)
        Compress(h, (const unsigned char *)padded.data() + i);
    char text[65];
    for (int i = 0; i < 8; i++)
        std::snprintf(text + 8 * i, 9, "%08x", h[i]);
    return std::string(text, 64);
}

std::optional<qm::Hive> HiveByName(const std::string &name)
{
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    for (qm::Hive hive : qm::kAllHives) {
        if (upper == qm::HiveFileName(hive))
            return hive;
    }
    return std::nullopt;
}

bool ReadMachineState(const std::string &dir, MachineState *state, std::string *error)
{
    *state = MachineState();
    std::error_code ec;
    if (!fs::is_directory(qm::VolumeRoot(dir), ec) ||
        !fs::is_regular_file(qm::HiveFilePath(dir, qm::Hive::System), ec)) {
        *error = dir + " is no machine directory (it has no " +
                 qm::HiveFilePath(dir, qm::Hive::System) + ")";
        return false;
    }
    if (!ReadVolume(dir, &state->Files, error))
        return false;
    for (qm::Hive hive : qm::kAllHives) {
        const std::string file = qm::HiveFilePath(dir, hive);
        if (!fs::exists(file, ec)) {
            state->Hives.push_back(std::nullopt);
            continue;
        }
        qm::HiveFileRead read = qm::ReadHiveFileKey(file, hive, u"");
        if (!read.fileRead || !read.key) {
            *error = read.fileRead ? file + ": the hive has no root key" : read.error;
            return false;
        }
        state->Hives.push_back(std::move(read.key));
    }
    return true;
}

std::vector<MachineChange> DiffMachineStates(const MachineState &before, const MachineState &after)
{
    std::vector<MachineChange> changes;
    auto item = [](const VolumeEntry &e) {
        return e.Directory ? MachineChange::Item::Directory : MachineChange::Item::File;
    };
    auto add = [&](MachineChange::Kind kind, const VolumeEntry &e, std::string was,
                   std::string is) {
        MachineChange change;
        change.Change = kind;
        change.What = item(e);
        change.Path = e.Path;
        change.Before = std::move(was);
        change.After = std::move(is);
        changes.push_back(std::move(change));
    };
    size_t i = 0, j = 0;
    while (i < before.Files.size() || j < after.Files.size()) {
        if (j == after.Files.size() ||
            (i < before.Files.size() && before.Files[i].Path < after.Files[j].Path)) {
            const VolumeEntry &e = before.Files[i++];
            add(MachineChange::Kind::Removed, e, e.Directory ? "" : FileText(e), "");
        } else if (i == before.Files.size() || after.Files[j].Path < before.Files[i].Path) {
            const VolumeEntry &e = after.Files[j++];
            add(MachineChange::Kind::Added, e, "", e.Directory ? "" : FileText(e));
        } else {
            const VolumeEntry &a = before.Files[i++], &b = after.Files[j++];
            if (a.Directory != b.Directory) {
                add(MachineChange::Kind::Removed, a, a.Directory ? "" : FileText(a), "");
                add(MachineChange::Kind::Added, b, "", b.Directory ? "" : FileText(b));
            } else if (!a.Directory && (a.Size != b.Size || a.Sha256 != b.Sha256)) {
                add(MachineChange::Kind::Changed, b, FileText(a), FileText(b));
            }
        }
    }
    Differ differ(&changes);
    for (size_t h = 0; h < sizeof(qm::kAllHives) / sizeof(qm::kAllHives[0]); h++) {
        const qm::MachineKey *a = h < before.Hives.size() && before.Hives[h] ? &*before.Hives[h]
                                                                               : nullptr;
        const qm::MachineKey *b = h < after.Hives.size() && after.Hives[h] ? &*after.Hives[h]
                                                                            : nullptr;
        if (a || b)
            differ.Key(qm::HiveMountPath(qm::kAllHives[h]), a, b);
    }
    return changes;
}

const char *ChangeKindName(MachineChange::Kind kind)
{
    switch (kind) {
    case MachineChange::Kind::Added: return "added";
    case MachineChange::Kind::Removed: return "removed";
    case MachineChange::Kind::Changed: return "changed";
    }
    return "?";
}

const char *ChangeItemName(MachineChange::Item item)
{
    switch (item) {
    case MachineChange::Item::File: return "file";
    case MachineChange::Item::Directory: return "directory";
    case MachineChange::Item::Key: return "key";
    case MachineChange::Item::Value: return "value";
    }
    return "?";
}

std::string ChangeLine(const MachineChange &change)
{
    const char sign = change.Change == MachineChange::Kind::Added     ? '+'
                      : change.Change == MachineChange::Kind::Removed ? '-'
                                                                      : '~';
    std::string line = std::string(1, sign) + " " + ChangeItemName(change.What) + " " + change.Path;
    if (change.What == MachineChange::Item::Value)
        line += change.Value.empty() ? " (default)" : " \"" + change.Value + "\"";
    switch (change.Change) {
    case MachineChange::Kind::Added:
        if (!change.After.empty())
            line += change.What == MachineChange::Item::Value ? " = " + change.After
                                                               : " (" + change.After + ")";
        break;
    case MachineChange::Kind::Removed:
        if (!change.Before.empty())
            line += change.What == MachineChange::Item::Value ? " = " + change.Before
                                                               : " (" + change.Before + ")";
        break;
    case MachineChange::Kind::Changed:
        line += ": " + change.Before + " -> " + change.After;
        break;
    }
    return line;
}

void PutChangesJson(JsonWriter *json, const std::vector<MachineChange> &changes)
{
    json->Key("changes").BeginArray();
    for (const MachineChange &change : changes) {
        json->BeginObject().Member("change", std::string(ChangeKindName(change.Change)));
        json->Member("item", std::string(ChangeItemName(change.What)));
        json->Member("path", change.Path);
        if (change.What == MachineChange::Item::Value)
            json->Member("value", change.Value);
        json->Key("before");
        change.Before.empty() ? json->Null() : json->String(change.Before);
        json->Key("after");
        change.After.empty() ? json->Null() : json->String(change.After);
        json->EndObject();
    }
    json->EndArray();
}

std::string ValueTypeName(ULONG type)
{
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: {
        char text[32];
        std::snprintf(text, sizeof(text), "REG_TYPE_0x%x", (unsigned)type);
        return text;
    }
    }
}

std::string DescribeValue(const qm::MachineValue &value)
{
    std::string type = ValueTypeName(value.type);
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_LINK) {
        if (std::optional<std::u16string> text = WholeString(value.data))
            return type + " " + Quoted(*text);
        /* Text stored without its NUL, as some writers leave it. */
        std::vector<uint8_t> ended = value.data;
        ended.push_back(0);
        ended.push_back(0);
        if (std::optional<std::u16string> text = WholeString(ended))
            return type + " " + Quoted(*text) + " (without a NUL)";
    } else if (value.type == REG_MULTI_SZ) {
        if (std::optional<std::vector<std::u16string>> strings = WholeStrings(value.data)) {
            std::string text = type + " [";
            for (size_t i = 0; i < strings->size(); i++)
                text += (i ? ", " : "") + Quoted((*strings)[i]);
            return text + "]";
        }
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t number;
        std::memcpy(&number, value.data.data(), 4);
        char text[40];
        std::snprintf(text, sizeof(text), " 0x%08x (%u)", number, number);
        return type + text;
    } else if (value.type == REG_QWORD && value.data.size() == 8) {
        uint64_t number;
        std::memcpy(&number, value.data.data(), 8);
        char text[64];
        std::snprintf(text, sizeof(text), " 0x%016llx (%llu)", (unsigned long long)number,
                      (unsigned long long)number);
        return type + text;
    }
    if (value.data.empty())
        return type + " (no data)";
    return type + " " + HexBytes(value.data, " ");
}

std::u16string RegExportHeader()
{
    return u"Windows Registry Editor Version 5.00\r\n\r\n";
}

void AppendRegExport(qm::Hive hive, const std::u16string &keyPath, const qm::MachineKey &key,
                     std::u16string *text)
{
    ExportKey(hive, keyPath, key, text);
}

std::string RegExportBytes(const std::u16string &text)
{
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back((char)(c & 0xFF));
        bytes.push_back((char)(c >> 8));
    }
    return bytes;
}

} // namespace qelmbar
