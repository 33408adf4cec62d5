/*
 * operation_text.cpp - OperationText, through the grammar table that
 * drives the parser.
 */
#include "machine/operation_text.h"

#include "simkernel/text.h"

#include <cstring>

namespace qm {

std::string OperationText(const OperationRecord &record)
{
    if (record.Kind >= OPERATION_KIND_COUNT)
        return "?";
    const OperationGrammar &grammar = OperationGrammars[record.Kind];
    const unsigned char *base = (const unsigned char *)&record;
    std::string text = std::string(grammar.Keyword) + "(";
    for (ULONG i = 0; i < grammar.ArgumentCount; i++) {
        const GrammarArgument &argument = grammar.Arguments[i];
        if (i > 0)
            text += ", ";
        if (argument.Type == ArgumentString) {
            UNICODE_STRING field;
            std::memcpy(&field, base + argument.Offset, sizeof(field));
            std::u16string value;
            if (field.Buffer)
                value.assign(field.Buffer, field.Length / sizeof(WCHAR));
            text += "\"" + sk::Utf8FromUtf16(value) + "\"";
        } else {
            text += base[argument.Offset] ? "true" : "false";
        }
    }
    return text + ")";
}

} // namespace qm
