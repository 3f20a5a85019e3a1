#include "name_quoting.h"

#include <cstdio>

namespace {

// The length of the valid UTF-8 sequence at `at`, or 0 when the bytes there are not one. Such a sequence is shown as
// it is: the terminal is taken to be UTF-8, as Debian's is.
size_t Utf8SequenceAt(const std::string& text, size_t at) {
    unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) return 0;
    unsigned char second = static_cast<unsigned char>(text[at + 1]);
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second >= 0x90))
        return 0;
    return length;
}

bool IsPrintableAscii(char c) {
    return c >= 0x20 && c < 0x7F;
}

// Whether every character can stand between single quotes as it is.
bool AllPrintable(const std::string& text) {
    for (size_t k = 0; k < text.size();) {
        if (IsPrintableAscii(text[k])) {
            ++k;
        } else if (size_t length = Utf8SequenceAt(text, k)) {
            k += length;
        } else {
            return false;
        }
    }
    return true;
}

// A byte as the shell's $'...' writes it.
std::string EscapedByte(unsigned char byte) {
    switch (byte) {
        case '\a': return "\\a";
        case '\b': return "\\b";
        case '\t': return "\\t";
        case '\n': return "\\n";
        case '\v': return "\\v";
        case '\f': return "\\f";
        case '\r': return "\\r";
        case 0x1B: return "\\E";
        default: {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", byte);
            return octal;
        }
    }
}

// Single-quoted runs, with each quote written as \' and each run of unprintable bytes as $'\ooo...' between them.
std::string QuotedPieces(const std::string& text) {
    std::string out = "'";
    bool escaping = false;  // inside a $'...' run
    for (size_t k = 0; k < text.size();) {
        size_t length = IsPrintableAscii(text[k]) ? 1 : Utf8SequenceAt(text, k);
        if (length == 0) {
            if (!escaping) out += "'$'";
            out += EscapedByte(static_cast<unsigned char>(text[k]));
            escaping = true;
            ++k;
            continue;
        }
        // A quote closes a $'...' run as it closes a plain one: \' then stands between them.
        if (text[k] == '\'') {
            out += "'\\''";
        } else {
            if (escaping) out += "''";
            out.append(text, k, length);
        }
        escaping = false;
        k += length;
    }
    if (escaping) out += "''";
    out += "'";
    // Empty quotes left at either end say nothing.
    if (out.size() > 2 && out.compare(0, 2, "''") == 0) out.erase(0, 2);
    if (out.size() > 2 && out.compare(out.size() - 2, 2, "''") == 0) out.erase(out.size() - 2);
    return out;
}

}  // namespace

std::string QuotedName(const std::string& name) {
    if (AllPrintable(name)) {
        if (name.find('\'') == std::string::npos) return "'" + name + "'";
        // A name with an apostrophe reads best in double quotes, when nothing in it means anything there.
        if (name.find_first_of("\"$`\\!") == std::string::npos) return "\"" + name + "\"";
    }
    return QuotedPieces(name);
}

std::string ShellWord(const std::string& word) {
    if (!word.empty() &&
        word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./:,+=@%-") ==
            std::string::npos)
        return word;
    return QuotedName(word);
}
