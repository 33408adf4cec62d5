/*
 * json.h - a small writer of JSON text for the tools' --json output.
 *
 * Objects and arrays are opened and closed in order; commas come by
 * themselves.  Strings are taken as UTF-8 and written with the escapes
 * JSON requires, so any name or path, however odd, stays one string.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qelmbar {

class JsonWriter {
public:
    JsonWriter &BeginObject();
    JsonWriter &EndObject();
    JsonWriter &BeginArray();
    JsonWriter &EndArray();
    /* The name of the next member of the open object. */
    JsonWriter &Key(const std::string &name);

    JsonWriter &String(const std::string &utf8);
    JsonWriter &Number(int64_t value);
    JsonWriter &Unsigned(uint64_t value);
    JsonWriter &Bool(bool value);
    JsonWriter &Null();

    /* Key and value at once. */
    template <typename T> JsonWriter &Member(const std::string &name, const T &value)
    {
        Key(name);
        return Put(value);
    }

    /* The text so far; whole once every object and array is closed. */
    const std::string &Text() const { return text_; }

private:
    JsonWriter &Put(const std::string &v) { return String(v); }
    JsonWriter &Put(const char *v) { return String(v); }
    JsonWriter &Put(bool v) { return Bool(v); }
    JsonWriter &Put(int v) { return Number(v); }
    JsonWriter &Put(long v) { return Number(v); }
    JsonWriter &Put(long long v) { return Number(v); }
    JsonWriter &Put(unsigned v) { return Unsigned(v); }
    JsonWriter &Put(unsigned long v) { return Unsigned(v); }
    JsonWriter &Put(unsigned long long v) { return Unsigned(v); }

    void BeforeValue();

    std::string text_;
    /* Per open container: whether it already holds an element. */
    std::vector<bool> filled_;
    bool afterKey_ = false;
};

/* A JSON string literal, quotes included. */
std::string JsonQuote(const std::string &utf8);

} // namespace qelmbar
