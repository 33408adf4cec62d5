/*
 * value_data.cpp - value data as the registry stores it, made and read
 * back.
 */
#include "machine/internal.h"

#include <cstring>

namespace qm {

std::vector<uint8_t> DwordData(ULONG value)
{
    std::vector<uint8_t> data(4);
    memcpy(data.data(), &value, 4);
    return data;
}

std::vector<uint8_t> StringData(const std::u16string &text)
{
    std::vector<uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
    memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    return data;
}

std::vector<uint8_t> MultiStringData(const std::vector<std::u16string> &strings)
{
    std::vector<uint8_t> data;
    for (const std::u16string &s : strings) {
        std::vector<uint8_t> one = StringData(s);
        data.insert(data.end(), one.begin(), one.end());
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::optional<ULONG> AsDword(const std::optional<MachineValue> &value)
{
    if (!value || value->type != REG_DWORD || value->data.size() != 4)
        return std::nullopt;
    ULONG v;
    memcpy(&v, value->data.data(), 4);
    return v;
}

std::optional<std::u16string> AsString(const std::optional<MachineValue> &value)
{
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string text(value->data.size() / 2, u'\0');
    memcpy(text.data(), value->data.data(), text.size() * 2);
    size_t nul = text.find(u'\0');
    if (nul != std::u16string::npos)
        text.resize(nul);
    return text;
}

std::optional<std::vector<std::u16string>> AsMultiString(const std::optional<MachineValue> &value)
{
    if (!value || value->type != REG_MULTI_SZ)
        return std::nullopt;
    std::u16string all(value->data.size() / 2, u'\0');
    memcpy(all.data(), value->data.data(), all.size() * 2);
    std::vector<std::u16string> strings;
    size_t at = 0;
    while (at < all.size()) {
        size_t nul = all.find(u'\0', at);
        if (nul == std::u16string::npos)
            nul = all.size();
        if (nul == at)
            break;
        strings.push_back(all.substr(at, nul - at));
        at = nul + 1;
    }
    return strings;
}

} // namespace qm
