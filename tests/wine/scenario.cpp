/*
 * scenario.cpp - reading scenarios.txt and writing the canonical lines.
 */
#include "tests/wine/scenario.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <strings.h>

namespace qwine {

namespace {

const uint32_t kRegSz = 1;
const uint32_t kRegExpandSz = 2;
const uint32_t kRegDword = 4;
const uint32_t kRegMultiSz = 7;
const uint32_t kRegQword = 11;

std::string Trim(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

/* Words and "quoted strings"; false for an unterminated quote. */
bool Tokens(const std::string &text, std::vector<std::string> *tokens)
{
    size_t at = 0;
    while (at < text.size()) {
        if (text[at] == ' ' || text[at] == '\t') {
            at++;
            continue;
        }
        if (text[at] == '"') {
            size_t close = text.find('"', at + 1);
            if (close == std::string::npos)
                return false;
            tokens->push_back(text.substr(at + 1, close - at - 1));
            at = close + 1;
            continue;
        }
        size_t end = text.find_first_of(" \t", at);
        if (end == std::string::npos)
            end = text.size();
        tokens->push_back(text.substr(at, end - at));
        at = end;
    }
    return true;
}

bool Number(const std::string &text, uint32_t *value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 10)
        return false;
    unsigned long long parsed = std::stoull(text);
    if (parsed > 0xFFFFFFFFull)
        return false;
    *value = (uint32_t)parsed;
    return true;
}

bool IsRestOfLine(const std::string &keyword)
{
    return keyword == "oneshot" || keyword == "setup" || keyword == "revert" ||
           keyword == "clean" || keyword == "expect" || keyword == "expect-no";
}

std::string ParseStep(const std::string &keyword, const std::string &rest, Scenario *scenario,
                      Step *step, bool *isStep)
{
    *isStep = true;
    if (IsRestOfLine(keyword)) {
        if (rest.empty())
            return keyword + " needs a text";
        step->text = rest;
        step->kind = keyword == "oneshot"   ? Step::Kind::OneShot
                     : keyword == "setup"   ? Step::Kind::Setup
                     : keyword == "revert"  ? Step::Kind::Revert
                     : keyword == "clean"   ? Step::Kind::Clean
                     : keyword == "expect"  ? Step::Kind::Expect
                                            : Step::Kind::ExpectNo;
        if ((step->kind == Step::Kind::Setup || step->kind == Step::Kind::Revert ||
             step->kind == Step::Kind::Clean)) {
            bool package = false;
            for (const Step &earlier : scenario->steps)
                package = package || earlier.kind == Step::Kind::Package;
            if (!package)
                return keyword + " before any package";
        }
        return std::string();
    }
    std::vector<std::string> args;
    if (!Tokens(rest, &args))
        return "unterminated quote";
    auto count = [&](size_t n) { return args.size() == n; };
    if (keyword == "watch-keys" && count(1)) {
        *isStep = false;
        scenario->watchKeys.push_back(args[0]);
    } else if (keyword == "watch-files" && count(1)) {
        *isStep = false;
        scenario->watchFiles.push_back(args[0]);
    } else if (keyword == "file" && count(2)) {
        step->kind = Step::Kind::File;
        step->path = args[0];
        step->text = args[1];
    } else if (keyword == "dir" && count(1)) {
        step->kind = Step::Kind::Dir;
        step->path = args[0];
    } else if (keyword == "key" && count(1)) {
        step->kind = Step::Kind::Key;
        step->key = args[0];
    } else if (keyword == "value" && count(4)) {
        step->kind = Step::Kind::Value;
        step->key = args[0];
        step->name = args[1] == "@" ? std::string() : args[1];
        step->type = args[2];
        step->text = args[3];
        uint32_t unused;
        if (step->type != "sz" && step->type != "dword" && step->type != "qword")
            return "value type must be sz, dword or qword";
        if (step->type != "sz" && !Number(step->text, &unused))
            return "value data must be a decimal number";
    } else if (keyword == "oneshot-file" && count(1)) {
        step->kind = Step::Kind::OneShotFile;
        step->path = args[0];
    } else if (keyword == "package" && !args.empty() && args.size() % 2 == 1) {
        step->kind = Step::Kind::Package;
        step->name = args[0];
        for (size_t i = 1; i < args.size(); i += 2) {
            uint32_t *field = args[i] == "boot-timeout"   ? &step->bootTimeout
                              : args[i] == "tick-timeout" ? &step->tickTimeout
                                                          : nullptr;
            if (!field || !Number(args[i + 1], field))
                return "package NAME [boot-timeout N] [tick-timeout N]";
        }
    } else if (keyword == "boot" && (count(2) || count(3))) {
        step->kind = Step::Kind::Boot;
        step->load = args[0];
        step->end = args[1];
        step->probe = count(3);
        if (step->load != "later" && step->load != "arc" && step->load != "arc-bootdevice")
            return "boot load must be later, arc or arc-bootdevice";
        if (step->end != "orderly" && step->end != "improper")
            return "boot end must be orderly or improper";
        if (count(3) && args[2] != "probe")
            return "the third word of boot can only be probe";
    } else {
        return "cannot read " + keyword + " with " + std::to_string(args.size()) + " arguments";
    }
    return std::string();
}

std::string Hex(const std::vector<uint8_t> &data)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < data.size(); i++) {
        snprintf(byte, sizeof(byte), i ? ",%02x" : "%02x", data[i]);
        text += byte;
    }
    return text;
}

std::optional<std::u16string> Utf16(const std::vector<uint8_t> &data)
{
    if (data.size() % 2)
        return std::nullopt;
    std::u16string text(data.size() / 2, u'\0');
    memcpy(&text[0], data.data(), data.size());
    return text;
}

std::string StringData(const char *prefix, const std::vector<uint8_t> &data)
{
    std::optional<std::u16string> text = Utf16(data);
    if (text) {
        size_t nul = text->find(u'\0');
        if (nul == std::u16string::npos)
            return std::string(prefix) + ":\"" + Printable(*text) + "\" no-nul";
        if (nul == text->size() - 1)
            return std::string(prefix) + ":\"" + Printable(text->substr(0, nul)) + "\"";
    }
    return std::string(prefix) + ":hex:" + Hex(data);
}

std::string MultiData(const std::vector<uint8_t> &data)
{
    std::optional<std::u16string> text = Utf16(data);
    /* Every string ended by its NUL, and one NUL after the last. */
    if (text && text->size() >= 2 && text->substr(text->size() - 2) == std::u16string(2, u'\0')) {
        std::vector<std::u16string> strings;
        size_t at = 0;
        bool regular = true;
        while (at < text->size() - 1) {
            size_t nul = text->find(u'\0', at);
            if (nul == at) {
                regular = false;
                break;
            }
            strings.push_back(text->substr(at, nul - at));
            at = nul + 1;
        }
        if (regular) {
            std::string line = "multi:[";
            for (size_t i = 0; i < strings.size(); i++)
                line += (i ? ", \"" : "\"") + Printable(strings[i]) + "\"";
            return line + "]";
        }
    }
    return "type7:hex:" + Hex(data);
}

bool Dword(const std::vector<uint8_t> &data, uint32_t *value)
{
    if (data.size() != 4)
        return false;
    memcpy(value, data.data(), 4);
    return true;
}

const RawValue *Sibling(const std::vector<RawValue> &siblings, const char *name)
{
    for (const RawValue &value : siblings) {
        if (strcasecmp(value.name.c_str(), name) == 0)
            return &value;
    }
    return nullptr;
}

bool IsParametersKey(const std::string &key)
{
    return strcasecmp(key.c_str(), "PARAMS") == 0;
}

bool IsPackageKey(const std::string &key)
{
    return key.size() > 7 && strncasecmp(key.c_str(), "PARAMS\\", 7) == 0 &&
           key.find('\\', 7) == std::string::npos;
}

std::string TickCounterData(uint32_t raw, const std::vector<BootFacts> &facts)
{
    const size_t n = facts.size();
    const BootFacts &boot = facts.back();
    const int64_t added = (int64_t)raw - (int64_t)boot.tickBefore;
    const std::string before = "dword:tick-before-boot-" + std::to_string(n);
    if (added == 0)
        return before;
    if (boot.orderly && added >= (int64_t)boot.addedLow && added <= (int64_t)boot.addedHigh)
        return before + (boot.early ? "+uptime" : "+system-uptime");
    return "dword:" + std::to_string(raw);
}

std::string StartTickCounterData(uint32_t raw, const std::vector<RawValue> &siblings,
                                 const std::vector<BootFacts> &facts)
{
    uint32_t start = 0;
    const RawValue *startBoot = Sibling(siblings, "StartBootCounter");
    if (startBoot && startBoot->type == kRegDword && Dword(startBoot->data, &start)) {
        for (size_t i = 0; i < facts.size(); i++) {
            if (facts[i].early && facts[i].bootCounter == start && facts[i].tickBefore == raw)
                return "dword:tick-before-boot-" + std::to_string(i + 1);
        }
    }
    return "dword:" + std::to_string(raw);
}

} // namespace

bool ReadScenarios(const std::string &file, std::vector<Scenario> *scenarios, std::string *error)
{
    std::ifstream in(file);
    if (!in) {
        *error = file + ": cannot be read";
        return false;
    }
    std::string line;
    int number = 0;
    scenarios->clear();
    while (std::getline(in, line)) {
        number++;
        std::string text = Trim(line);
        if (text.empty() || text[0] == '#')
            continue;
        size_t space = text.find_first_of(" \t");
        std::string keyword = text.substr(0, space);
        std::string rest = space == std::string::npos ? std::string() : Trim(text.substr(space));
        std::string message;
        if (keyword == "scenario") {
            std::vector<std::string> args;
            if (!Tokens(rest, &args) || args.size() != 1) {
                message = "scenario NAME";
            } else {
                Scenario scenario;
                scenario.name = args[0];
                scenario.watchKeys.push_back("PARAMS");
                scenarios->push_back(scenario);
            }
        } else if (scenarios->empty()) {
            message = "a command before the first scenario";
        } else {
            Step step;
            step.line = number;
            bool isStep = false;
            message = ParseStep(keyword, rest, &scenarios->back(), &step, &isStep);
            if (message.empty() && isStep)
                scenarios->back().steps.push_back(step);
        }
        if (!message.empty()) {
            *error = file + ":" + std::to_string(number) + ": " + message;
            return false;
        }
    }
    return true;
}

bool Matches(const std::string &line, const Step &expectation)
{
    const std::string &text = expectation.text;
    if (expectation.kind == Step::Kind::Expect)
        return line == text;
    return line.compare(0, text.size(), text) == 0 &&
           (line.size() == text.size() || line[text.size()] == ' ' || line[text.size()] == '\\');
}

std::string Printable(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += (char)c;
        } else {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", (unsigned)c);
            out += escape;
        }
    }
    return out;
}

std::string ValueLine(const RawValue &value, const std::vector<RawValue> &siblings,
                      const std::vector<BootFacts> &facts)
{
    std::string data;
    uint32_t dword = 0;
    if (value.type == kRegDword && Dword(value.data, &dword)) {
        char hex[16];
        snprintf(hex, sizeof(hex), "0x%08X", dword);
        if (strcasecmp(value.name.c_str(), "LastPackageError") == 0)
            data = std::string("dword:") + hex;
        else if (IsParametersKey(value.key) && strcasecmp(value.name.c_str(), "TickCounter") == 0 &&
                 !facts.empty())
            data = TickCounterData(dword, facts);
        else if (IsPackageKey(value.key) &&
                 strcasecmp(value.name.c_str(), "StartTickCounter") == 0)
            data = StartTickCounterData(dword, siblings, facts);
        else
            data = "dword:" + std::to_string(dword);
    } else if (value.type == kRegQword && value.data.size() == 8) {
        uint64_t qword;
        memcpy(&qword, value.data.data(), 8);
        data = "qword:" + std::to_string(qword);
    } else if (value.type == kRegSz) {
        data = StringData("sz", value.data);
    } else if (value.type == kRegExpandSz) {
        data = StringData("expand_sz", value.data);
    } else if (value.type == kRegMultiSz) {
        data = MultiData(value.data);
    } else {
        data = "type" + std::to_string(value.type) + ":hex:" + Hex(value.data);
    }
    return "value " + value.key + " " + (value.name.empty() ? "@" : value.name) + " = " + data;
}

std::string FileLine(const std::string &path, const std::string &content)
{
    bool printable = content.size() <= 80;
    for (unsigned char c : content)
        printable = printable && c >= 0x20 && c < 0x7F && c != '"';
    std::string line = "file " + path + " size=" + std::to_string(content.size());
    if (printable)
        return line + " content=\"" + content + "\"";
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : content) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    char text[32];
    snprintf(text, sizeof(text), " fnv1a64=%016llx", (unsigned long long)hash);
    return line + text;
}

} // namespace qwine
