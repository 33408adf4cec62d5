/*
 * staging.cpp - what the targets share: keys and values read back, the
 * steps of a change, value data, text, and the choice of a target.
 */
#include "tools/lib/staging.h"

#include "platform/platform.h"
#include "simkernel/text.h"
#include "simkernel/upcase.h"

#include <cstring>

namespace qelmbar::staging {

std::string TypeName(uint32_t type)
{
    switch (type) {
    case kTypeNone: return "REG_NONE";
    case kTypeSz: return "REG_SZ";
    case kTypeExpandSz: return "REG_EXPAND_SZ";
    case kTypeBinary: return "REG_BINARY";
    case kTypeDword: return "REG_DWORD";
    case 5: return "REG_DWORD_BIG_ENDIAN";
    case 6: return "REG_LINK";
    case kTypeMultiSz: return "REG_MULTI_SZ";
    case kTypeQword: return "REG_QWORD";
    default: return "type " + std::to_string(type);
    }
}

bool EqualIgnoringCase(const std::u16string &a, const std::u16string &b)
{
    return sk::EqualIgnoringCase(a, b);
}

const Value *Key::FindValue(const std::u16string &name) const
{
    for (const Value &value : Values) {
        if (EqualIgnoringCase(value.Name, name))
            return &value;
    }
    return nullptr;
}

const Key *Key::FindSubkey(const std::u16string &name) const
{
    for (const Key &key : Subkeys) {
        if (EqualIgnoringCase(key.Name, name))
            return &key;
    }
    return nullptr;
}

/* ---- changes ---------------------------------------------------------- */

Change &Change::ExpectValue(const std::u16string &keyPath, const std::u16string &name,
                            const Value *current)
{
    Edit edit;
    edit.What = Edit::Kind::ExpectValue;
    edit.KeyPath = keyPath;
    edit.Present = current != nullptr;
    edit.Data.Name = name;
    if (current) {
        edit.Data.Type = current->Type;
        edit.Data.Data = current->Data;
    }
    edits_.push_back(std::move(edit));
    return *this;
}

Change &Change::ExpectKey(const std::u16string &keyPath, bool present)
{
    Edit edit;
    edit.What = Edit::Kind::ExpectKey;
    edit.KeyPath = keyPath;
    edit.Present = present;
    edits_.push_back(std::move(edit));
    return *this;
}

Change &Change::CreateKey(const std::u16string &keyPath)
{
    Edit edit;
    edit.What = Edit::Kind::CreateKey;
    edit.KeyPath = keyPath;
    edits_.push_back(std::move(edit));
    return *this;
}

Change &Change::SetValue(const std::u16string &keyPath, const std::u16string &name, uint32_t type,
                         std::vector<uint8_t> data)
{
    Edit edit;
    edit.What = Edit::Kind::SetValue;
    edit.KeyPath = keyPath;
    edit.Data.Name = name;
    edit.Data.Type = type;
    edit.Data.Data = std::move(data);
    edits_.push_back(std::move(edit));
    return *this;
}

Change &Change::DeleteValue(const std::u16string &keyPath, const std::u16string &name)
{
    Edit edit;
    edit.What = Edit::Kind::DeleteValue;
    edit.KeyPath = keyPath;
    edit.Data.Name = name;
    edits_.push_back(std::move(edit));
    return *this;
}

Change &Change::DeleteTree(const std::u16string &keyPath)
{
    Edit edit;
    edit.What = Edit::Kind::DeleteTree;
    edit.KeyPath = keyPath;
    edits_.push_back(std::move(edit));
    return *this;
}

bool Change::Writes() const
{
    for (const Edit &edit : edits_) {
        if (edit.What != Edit::Kind::ExpectValue && edit.What != Edit::Kind::ExpectKey)
            return true;
    }
    return false;
}

std::string ChangedMeanwhile(const Edit &edit)
{
    std::string what = edit.What == Edit::Kind::ExpectValue
                           ? "the value \"" + Utf8(edit.Data.Name) + "\" of " + Utf8(edit.KeyPath)
                           : Utf8(edit.KeyPath);
    return what + " changed while qelmbar was working; nothing was written, try again";
}

/* ---- value data -------------------------------------------------------- */

std::vector<uint8_t> DwordBytes(uint32_t value)
{
    std::vector<uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    return data;
}

std::vector<uint8_t> StringBytes(const std::u16string &text)
{
    std::vector<uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    return data;
}

std::vector<uint8_t> MultiStringBytes(const std::vector<std::u16string> &strings)
{
    std::vector<uint8_t> data;
    for (const std::u16string &s : strings) {
        std::vector<uint8_t> one = StringBytes(s);
        data.insert(data.end(), one.begin(), one.end());
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::optional<uint32_t> AsDword(const Value *value)
{
    if (!value || value->Type != kTypeDword || value->Data.size() != 4)
        return std::nullopt;
    uint32_t v;
    std::memcpy(&v, value->Data.data(), 4);
    return v;
}

std::u16string AsUtf16(const Value &value)
{
    std::u16string text(value.Data.size() / 2, u'\0');
    if (!text.empty())
        std::memcpy(&text[0], value.Data.data(), text.size() * 2);
    return text;
}

std::optional<std::u16string> AsString(const Value *value)
{
    if (!value || (value->Type != kTypeSz && value->Type != kTypeExpandSz))
        return std::nullopt;
    std::u16string text = AsUtf16(*value);
    size_t nul = text.find(u'\0');
    if (nul != std::u16string::npos)
        text.resize(nul);
    return text;
}

/* ---- text -------------------------------------------------------------- */

std::string Utf8(const std::u16string &text)
{
    return sk::Utf8FromUtf16(text);
}

std::optional<std::u16string> Utf16(const std::string &utf8)
{
    return sk::Utf16FromUtf8(utf8);
}

} // namespace qelmbar::staging
