/*
 * json.cpp - the JSON writer.
 */
#include "tools/lib/json.h"

#include <cstdio>

namespace qelmbar {

std::string JsonQuote(const std::string &utf8)
{
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof(escape), "\\u%04x", c);
                out += escape;
            } else {
                out += (char)c;
            }
        }
    }
    out += '"';
    return out;
}

void JsonWriter::BeforeValue()
{
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!filled_.empty()) {
        if (filled_.back())
            text_ += ',';
        filled_.back() = true;
    }
}

JsonWriter &JsonWriter::BeginObject()
{
    BeforeValue();
    text_ += '{';
    filled_.push_back(false);
    return *this;
}

JsonWriter &JsonWriter::EndObject()
{
    text_ += '}';
    filled_.pop_back();
    return *this;
}

JsonWriter &JsonWriter::BeginArray()
{
    BeforeValue();
    text_ += '[';
    filled_.push_back(false);
    return *this;
}

JsonWriter &JsonWriter::EndArray()
{
    text_ += ']';
    filled_.pop_back();
    return *this;
}

JsonWriter &JsonWriter::Key(const std::string &name)
{
    BeforeValue();
    text_ += JsonQuote(name);
    text_ += ':';
    afterKey_ = true;
    return *this;
}

JsonWriter &JsonWriter::String(const std::string &utf8)
{
    BeforeValue();
    text_ += JsonQuote(utf8);
    return *this;
}

JsonWriter &JsonWriter::Number(int64_t value)
{
    BeforeValue();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter &JsonWriter::Unsigned(uint64_t value)
{
    BeforeValue();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter &JsonWriter::Bool(bool value)
{
    BeforeValue();
    text_ += value ? "true" : "false";
    return *this;
}

JsonWriter &JsonWriter::Null()
{
    BeforeValue();
    text_ += "null";
    return *this;
}

} // namespace qelmbar
