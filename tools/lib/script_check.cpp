/*
 * script_check.cpp - the parser's verdict, the walk that explains it, and
 * the normalised spelling of parsed operations.
 *
 * The walk takes the very steps of ParseOperationList and ParseOperation:
 * the same data length, NextToken for every token, OperationGrammars for
 * what each operation wants.  It reads the script text itself only to
 * describe what a token looks like.
 */
#include "tools/lib/script_check.h"
#include "tools/lib/script_source.h"
#include "tools/lib/script_warnings.h"
#include "machine/operation_text.h"
#include "simkernel/text.h"
#include "simkernel/upcase.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qelmbar {

namespace {

enum class Place { Operation, StringArgument, BooleanArgument, AfterOperation };

struct Seen {
    TokenKind Kind;
    BOOLEAN Value;
    ULONG Start; /* the token's first character, blanks skipped */
    ULONG End;   /* where NextToken left the position */
};

bool IsKeyword(TokenKind kind)
{
    return kind >= TokenKeywordFirst && kind <= TokenKeywordLast;
}

bool IsWordStart(char16_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

std::string Number(size_t n)
{
    return std::to_string(n);
}

const char *InvisibleName(uint32_t cp)
{
    switch (cp) {
    case 0x0B: return "vertical tab";
    case 0x0C: return "form feed";
    case 0x0D: return "carriage return";
    case 0xA0: return "no-break space";
    case 0x200B: return "zero width space";
    case 0x202F: return "narrow no-break space";
    case 0x3000: return "ideographic space";
    case 0xFEFF: return "byte order mark";
    default: return nullptr;
    }
}

bool IsOtherSpace(uint32_t cp)
{
    return cp == 0x0B || cp == 0x0C || cp == 0xA0 || (cp >= 0x2000 && cp <= 0x200B) ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

bool IsTypographicQuote(uint32_t cp)
{
    return (cp >= 0x2018 && cp <= 0x201F) || cp == 0x2033 || cp == 0xAB || cp == 0xBB;
}

std::string Hex(uint32_t cp)
{
    char text[16];
    std::snprintf(text, sizeof(text), "U+%04X", (unsigned)cp);
    return text;
}

std::string Signature(const OperationGrammar &grammar)
{
    std::string text = std::string(grammar.Keyword) + " takes " + Number(grammar.ArgumentCount) +
                       (grammar.ArgumentCount == 1 ? " argument: " : " arguments: ");
    for (ULONG i = 0; i < grammar.ArgumentCount; i++) {
        if (i > 0)
            text += ", ";
        text += grammar.Arguments[i].Name;
    }
    return text;
}

std::string ArgumentLabel(const OperationGrammar &grammar, ULONG index)
{
    return "argument " + Number(index + 1) + " (" + grammar.Arguments[index].Name + ") of " +
           grammar.Keyword;
}

class Walker {
public:
    explicit Walker(const std::u16string &value) : text_(value.c_str())
    {
        /* As ParseOperationList: the list ends after the last non-NUL. */
        ULONG length = (ULONG)value.size();
        while (length > 0 && text_[length - 1] == 0)
            length--;
        length_ = length;
    }

    Diagnosis Run()
    {
        for (;;) {
            Seen seen = Next();
            if (seen.Kind == TokenNoMemory || seen.Kind == TokenEndOfList)
                break;
            if (seen.Kind == TokenEndOfString)
                continue;
            if (!IsKeyword(seen.Kind)) {
                Fail(seen, AtOperation(seen));
                break;
            }
            if (!Operation(OperationGrammars[seen.Kind - TokenKeywordFirst]))
                break;
        }
        return result_;
    }

private:
    char16_t At(ULONG index) const { return index < length_ ? text_[index] : u'\0'; }

    Seen Next()
    {
        ULONG start = position_;
        while (At(start) == u' ' || At(start) == u'\t')
            start++;
        Token token = NextToken(text_, length_, &position_);
        Seen seen = { token.Kind, token.Kind == TokenBoolean ? token.Value : (BOOLEAN)0, start,
                      position_ };
        ReleaseToken(&token);
        if (seen.Kind == TokenNoMemory)
            result_.Message = "the checker ran out of pool memory before it found the fault";
        return seen;
    }

    bool Fail(const Seen &seen, const std::string &message)
    {
        if (seen.Kind == TokenNoMemory)
            return false;
        result_.Found = true;
        result_.Index = seen.Start;
        result_.Message = message;
        return false;
    }

    /* One operation after its keyword, as ParseOperation reads it. */
    bool Operation(const OperationGrammar &grammar)
    {
        Seen seen = Next();
        if (seen.Kind != TokenOpenParen)
            return Fail(seen, std::string("expected '(' after ") + grammar.Keyword + ", found " +
                                  Found(seen));
        for (ULONG i = 0; i < grammar.ArgumentCount; i++) {
            if (i > 0) {
                seen = Next();
                if (seen.Kind != TokenComma)
                    return Fail(seen, AtComma(grammar, i - 1, seen));
            }
            seen = Next();
            const GrammarArgument &argument = grammar.Arguments[i];
            bool fits = argument.Type == ArgumentString ? seen.Kind == TokenString
                                                        : seen.Kind == TokenBoolean;
            if (!fits)
                return Fail(seen, AtArgument(grammar, i, seen));
        }
        seen = Next();
        if (seen.Kind != TokenCloseParen)
            return Fail(seen, AtCloseParen(grammar, seen));
        seen = Next();
        if (seen.Kind != TokenEndOfString && seen.Kind != TokenEndOfList)
            return Fail(seen, AfterOperation(seen));
        return true;
    }

    std::u16string Source(const Seen &seen) const
    {
        return std::u16string(text_ + seen.Start, text_ + std::max(seen.Start, seen.End));
    }

    std::string Word(const Seen &seen) const
    {
        std::string word = sk::Utf8FromUtf16(Source(seen));
        if (word.size() > 40)
            word = word.substr(0, 37) + "...";
        return "'" + word + "'";
    }

    uint32_t CodePointAt(ULONG index) const
    {
        char16_t c = At(index);
        char16_t next = At(index + 1);
        if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF)
            return 0x10000 + (((uint32_t)c - 0xD800) << 10) + ((uint32_t)next - 0xDC00);
        return c;
    }

    std::string CharacterName(ULONG index) const
    {
        uint32_t cp = CodePointAt(index);
        if (cp > 0x20 && cp < 0x7F)
            return std::string("'") + (char)cp + "'";
        if (const char *name = InvisibleName(cp))
            return Hex(cp) + " (" + name + ")";
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0xD800 && cp <= 0xDFFF))
            return Hex(cp);
        std::u16string one(text_ + index, text_ + index + (cp >= 0x10000 ? 2 : 1));
        return "'" + sk::Utf8FromUtf16(one) + "' (" + Hex(cp) + ")";
    }

    /* What a position holds that NextToken makes no token of: an open or
     * over-long string, an over-long word, or a character that starts
     * nothing.  Without the article for a message of its own. */
    std::string Untokenized(const Seen &seen, bool article) const
    {
        char16_t c = At(seen.Start);
        std::string limit = " longer than " + Number(SCRIPT_MAX_TOKEN_CHARS) + " characters";
        if (c == u'"') {
            ULONG close = seen.Start + 1;
            while (At(close) != 0 && At(close) != u'"')
                close++;
            if (At(close) == u'"')
                return (article ? "a quoted string" : "quoted string") + limit;
            return article ? "an unterminated string" : "unterminated string";
        }
        if (IsWordStart(c))
            return (article ? "a word" : "word") + limit;
        return CharacterName(seen.Start);
    }

    std::string Found(const Seen &seen) const
    {
        switch (seen.Kind) {
        case TokenEndOfString:
        case TokenEndOfList: return "the end of the line";
        case TokenOpenParen: return "'('";
        case TokenCloseParen: return "')'";
        case TokenComma: return "','";
        case TokenString: return "a quoted string";
        case TokenNone: return Untokenized(seen, true);
        default: return Word(seen);
        }
    }

    /* The message for a position NextToken makes no token of, where a
     * token of its own would have been expected. */
    std::string NoToken(const Seen &seen, Place place) const
    {
        char16_t c = At(seen.Start);
        if (c == u'"' || IsWordStart(c))
            return Untokenized(seen, false);
        uint32_t cp = CodePointAt(seen.Start);
        std::string message = "character " + CharacterName(seen.Start) + " cannot start a token";
        if (cp == '\\')
            return message + "; paths are written in double quotes";
        if (cp == '\'')
            return message + "; strings are written in double quotes";
        if (IsTypographicQuote(cp))
            return message + "; strings are written in straight double quotes (\")";
        if (IsOtherSpace(cp))
            return message + "; only spaces and tabs may separate tokens";
        if (place == Place::Operation && (cp == '#' || cp == ';' || cp == '/'))
            return message + "; the script language has no comments";
        if (place == Place::StringArgument)
            return message + "; strings are written in double quotes";
        if (place == Place::BooleanArgument)
            return message + "; booleans are written true or false";
        return message;
    }

    std::string AtOperation(const Seen &seen) const
    {
        if (seen.Kind == TokenNone)
            return NoToken(seen, Place::Operation);
        if (seen.Kind == TokenWord) {
            std::string word = sk::Utf8FromUtf16(Source(seen));
            std::string message = "unknown operation " + Word(seen);
            if (const char *nearest = NearestKeyword(word))
                message += std::string("; did you mean '") + nearest + "'?";
            return message;
        }
        return "expected an operation, found " + Found(seen);
    }

    std::string AtArgument(const OperationGrammar &grammar, ULONG index, const Seen &seen) const
    {
        const GrammarArgument &argument = grammar.Arguments[index];
        bool wantsString = argument.Type == ArgumentString;
        if (seen.Kind == TokenNone)
            return NoToken(seen, wantsString ? Place::StringArgument : Place::BooleanArgument);

        std::string message = std::string("expected ") +
                              (wantsString ? "a quoted string" : "a boolean") + " for " +
                              argument.Name + ", found " + Found(seen);
        if (seen.Kind == TokenString)
            return message + " (booleans are written true or false, without quotes)";
        if (seen.Kind == TokenBoolean || seen.Kind == TokenCloseParen)
            return message + "; " + Signature(grammar);
        if (seen.Kind == TokenWord || IsKeyword(seen.Kind)) {
            if (!wantsString)
                return message + "; booleans are written true or false";
            char16_t after = At(seen.End);
            return message + (after == u':' || after == u'\\'
                                  ? "; paths are written in double quotes"
                                  : "; strings are written in double quotes");
        }
        return message;
    }

    std::string AtComma(const OperationGrammar &grammar, ULONG index, const Seen &seen) const
    {
        std::string message =
            "expected ',' after " + ArgumentLabel(grammar, index) + ", found " + Found(seen);
        if (seen.Kind == TokenCloseParen)
            return message + "; " + Signature(grammar);
        return message;
    }

    std::string AtCloseParen(const OperationGrammar &grammar, const Seen &seen) const
    {
        std::string label = ArgumentLabel(grammar, grammar.ArgumentCount - 1u);
        if (seen.Kind == TokenEndOfString || seen.Kind == TokenEndOfList)
            return "missing ')' after " + label;
        std::string message = "expected ')' after " + label + ", found " + Found(seen);
        if (seen.Kind == TokenComma)
            return message + "; " + Signature(grammar);
        return message;
    }

    std::string AfterOperation(const Seen &seen) const
    {
        if (IsKeyword(seen.Kind))
            return "unexpected text after ')'; each operation needs a line of its own";
        return "unexpected text after ')'; only spaces and tabs may follow an operation on its "
               "line";
    }

    PCWSTR text_;
    ULONG length_ = 0;
    ULONG position_ = 0;
    Diagnosis result_;
};

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

/* Edit distance with transposition of neighbours, ignoring case. */
size_t Distance(const std::string &a, const std::string &b)
{
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); i++)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); j++)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        for (size_t j = 1; j <= b.size(); j++) {
            size_t cost = Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({ d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost });
            if (i > 1 && j > 1 && Lower(a[i - 1]) == Lower(b[j - 2]) &&
                Lower(a[i - 2]) == Lower(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

} // namespace

const char *NearestKeyword(const std::string &word)
{
    if (word.empty() || word.size() > 64)
        return nullptr;
    size_t limit = word.size() >= 10 ? 3 : word.size() >= 5 ? 2 : 1;
    const char *best = nullptr;
    size_t bestDistance = limit + 1;
    for (const OperationGrammar &grammar : OperationGrammars) {
        size_t distance = Distance(word, grammar.Keyword);
        /* Beyond one slip, a word that starts differently is another word,
         * not a misspelling: RemoveFile is not MoveFile. */
        if (distance > 1 && Lower(word[0]) != Lower(grammar.Keyword[0]))
            continue;
        if (distance < bestDistance) {
            best = grammar.Keyword;
            bestDistance = distance;
        }
    }
    return best;
}

Diagnosis DiagnoseScript(const std::u16string &value)
{
    return Walker(value).Run();
}

namespace {

/* The keys an operation changes, and every key it touches. */
void OperationKeys(const OperationRecord &r, std::vector<std::u16string> *changed,
                   std::vector<std::u16string> *touched)
{
    const TwoPathArgs &two = r.Args.TwoPath;
    switch (r.Kind) {
    case OperationCreateKey:
        changed->push_back(View(r.Args.Path.Path));
        break;
    case OperationDeleteKey:
        changed->push_back(View(r.Args.DeleteKey.Path));
        break;
    case OperationMoveKey:
        changed->push_back(View(two.Source));
        changed->push_back(View(two.Target));
        break;
    case OperationRenameKey: {
        std::u16string source = View(two.Source);
        size_t cut = source.rfind(u'\\');
        changed->push_back(source);
        changed->push_back((cut == std::u16string::npos ? u"" : source.substr(0, cut + 1)) +
                           View(two.Target));
        break;
    }
    case OperationCopyKey:
        touched->push_back(View(two.Source));
        changed->push_back(View(two.Target));
        break;
    case OperationSetKeyValue:
        changed->push_back(View(r.Args.SetKeyValue.TargetKey));
        (r.Args.SetKeyValue.DeleteSource ? changed : touched)
            ->push_back(View(r.Args.SetKeyValue.SourceKey));
        break;
    case OperationDeleteKeyValue:
        changed->push_back(View(r.Args.DeleteKeyValue.KeyPath));
        break;
    case OperationRenameValue:
        changed->push_back(View(r.Args.RenameValue.KeyPath));
        break;
    default:
        break;
    }
    touched->insert(touched->end(), changed->begin(), changed->end());
}

std::vector<DeferralWarning> FindReorders(PLIST_ENTRY list, const std::vector<ScriptWarning> &early)
{
    std::vector<DeferralWarning> warnings;
    std::vector<std::vector<std::u16string>> changed, touched;
    for (PLIST_ENTRY entry = list->Flink; entry != list; entry = entry->Flink) {
        changed.emplace_back();
        touched.emplace_back();
        OperationKeys(*CONTAINING_RECORD(entry, OperationRecord, Links), &changed.back(),
                      &touched.back());
    }
    auto saidAlready = [&early](size_t w, size_t later) {
        return std::any_of(early.begin(), early.end(), [&](const ScriptWarning &e) {
            return e.Operation == later && e.Other == w;
        });
    };
    for (size_t w = 0; w < changed.size(); w++) {
        for (const std::u16string &key : changed[w]) {
            if (!MayBeDeferred(key))
                continue;
            bool found = false;
            for (size_t later = w + 1; later < touched.size() && !found; later++) {
                /* A later write that may wait as well keeps its place
                 * behind this one in the deferred list. */
                if (std::any_of(changed[later].begin(), changed[later].end(), MayBeDeferred))
                    continue;
                for (const std::u16string &other : touched[later]) {
                    if (SameOrEnclosing(key, other)) {
                        if (!saidAlready(w, later))
                            warnings.push_back({ w, later, sk::Utf8FromUtf16(key), sk::Utf8FromUtf16(other) });
                        found = true;
                        break;
                    }
                }
            }
        }
    }
    return warnings;
}

std::u16string Text16(const UNICODE_STRING &text)
{
    return std::u16string((const char16_t *)text.Buffer, text.Length / sizeof(WCHAR));
}

std::vector<OperationSource> SourcesOf(const OperationRecord &record)
{
    using Kind = OperationSource::Kind;
    std::vector<OperationSource> sources;
    const TwoPathArgs &two = record.Args.TwoPath;
    switch (record.Kind) {
    case OperationCopyFile:
    case OperationMoveFile:
    case OperationRenameFile:
        sources.push_back({ Kind::File, Text16(two.Source), u"", false });
        break;
    case OperationCopyDir:
    case OperationMoveDir:
    case OperationRenameDir:
        sources.push_back({ Kind::Directory, Text16(two.Source), u"", false });
        break;
    case OperationMoveKey:
    case OperationCopyKey:
    case OperationRenameKey:
        sources.push_back({ Kind::Key, Text16(two.Source), u"", false });
        break;
    case OperationSetKeyValue:
        if (record.Args.SetKeyValue.SourceKey.Length)
            sources.push_back({ Kind::Value, Text16(record.Args.SetKeyValue.SourceKey),
                                Text16(record.Args.SetKeyValue.SourceValue), false });
        break;
    case OperationRenameValue:
        sources.push_back({ Kind::Value, Text16(record.Args.RenameValue.KeyPath),
                            Text16(record.Args.RenameValue.OldName), false });
        break;
    default:
        break;
    }
    return sources;
}

/* A rename's new name beside its source. */
std::u16string Renamed(const UNICODE_STRING &source, const UNICODE_STRING &name)
{
    std::u16string path = Text16(source);
    size_t slash = path.rfind(u'\\');
    return (slash == std::u16string::npos ? std::u16string() : path.substr(0, slash + 1)) +
           Text16(name);
}

std::vector<OperationSource> TargetsOf(const OperationRecord &record)
{
    using Kind = OperationSource::Kind;
    std::vector<OperationSource> targets;
    const TwoPathArgs &two = record.Args.TwoPath;
    switch (record.Kind) {
    case OperationCopyFile:
    case OperationMoveFile:
        targets.push_back({ Kind::File, Text16(two.Target), u"", false });
        break;
    case OperationRenameFile:
        targets.push_back({ Kind::File, Renamed(two.Source, two.Target), u"", false });
        break;
    case OperationCopyDir:
    case OperationMoveDir:
        targets.push_back({ Kind::Directory, Text16(two.Target), u"", false });
        break;
    case OperationRenameDir:
        targets.push_back({ Kind::Directory, Renamed(two.Source, two.Target), u"", false });
        break;
    case OperationCreateDir:
        targets.push_back({ Kind::Directory, Text16(record.Args.Path.Path), u"", true });
        break;
    case OperationCreateKey:
        targets.push_back({ Kind::Key, Text16(record.Args.Path.Path), u"", true });
        break;
    case OperationMoveKey:
    case OperationCopyKey:
        targets.push_back({ Kind::Key, Text16(two.Target), u"", false });
        break;
    case OperationRenameKey:
        targets.push_back({ Kind::Key, Renamed(two.Source, two.Target), u"", false });
        break;
    case OperationSetKeyValue:
        targets.push_back({ Kind::Value, Text16(record.Args.SetKeyValue.TargetKey),
                            Text16(record.Args.SetKeyValue.TargetValue), false });
        break;
    case OperationRenameValue:
        targets.push_back({ Kind::Value, Text16(record.Args.RenameValue.KeyPath),
                            Text16(record.Args.RenameValue.NewName), false });
        break;
    default:
        break;
    }
    return targets;
}

/* Paths compared as NT compares names, without trailing backslashes:
 * whether path is root or lies beneath it. */
bool AtOrBelow(const std::u16string &path, const std::u16string &root)
{
    std::vector<std::u16string> a = sk::SplitKeyPath(path), b = sk::SplitKeyPath(root);
    if (b.empty() || a.size() < b.size())
        return false;
    for (size_t i = 0; i < b.size(); i++) {
        if (!sk::EqualIgnoringCase(a[i], b[i]))
            return false;
    }
    return true;
}

} // namespace

bool MakesSource(const OperationSource &made, const OperationSource &source)
{
    using Kind = OperationSource::Kind;
    const bool fileSide = source.What == Kind::File || source.What == Kind::Directory;
    if (made.Empty)
        return made.What == source.What && AtOrBelow(source.Path, made.Path) &&
               AtOrBelow(made.Path, source.Path);
    switch (made.What) {
    case Kind::File:
        return source.What == Kind::File && AtOrBelow(source.Path, made.Path) &&
               AtOrBelow(made.Path, source.Path);
    case Kind::Directory:
        return fileSide && AtOrBelow(source.Path, made.Path);
    case Kind::Key:
        return !fileSide && AtOrBelow(source.Path, made.Path);
    case Kind::Value:
        return source.What == Kind::Value && AtOrBelow(source.Path, made.Path) &&
               AtOrBelow(made.Path, source.Path) &&
               sk::EqualIgnoringCase(source.ValueName, made.ValueName);
    }
    return false;
}

const char *SourceKindName(OperationSource::Kind kind)
{
    switch (kind) {
    case OperationSource::Kind::File: return "file";
    case OperationSource::Kind::Directory: return "directory";
    case OperationSource::Kind::Key: return "key";
    case OperationSource::Kind::Value: return "value";
    }
    return "source";
}

CheckResult CheckScript(const std::u16string &value)
{
    CheckResult result;
    /* Two NULs beyond the data, as the registry reader pads a value. */
    std::u16string padded(value);
    padded.append(2, u'\0');

    LIST_ENTRY list;
    InitializeListHead(&list);
    result.Status =
        ParseOperationList(padded.c_str(), (ULONG)(value.size() * sizeof(WCHAR)), &list);
    if (NT_SUCCESS(result.Status)) {
        for (PLIST_ENTRY entry = list.Flink; entry != &list; entry = entry->Flink) {
            const OperationRecord &record = *CONTAINING_RECORD(entry, OperationRecord, Links);
            result.Operations.push_back(qm::OperationText(record));
            result.Sources.push_back(SourcesOf(record));
            result.Targets.push_back(TargetsOf(record));
        }
        std::vector<ScriptWarning> early;
        result.Warnings = ScriptWarnings(&list, &early);
        result.Reorders = FindReorders(&list, early);
    }
    FreeOperationList(&list);

    if (!NT_SUCCESS(result.Status) && result.Status != STATUS_NO_MEMORY)
        result.Fault = DiagnoseScript(value);
    return result;
}

} // namespace qelmbar
