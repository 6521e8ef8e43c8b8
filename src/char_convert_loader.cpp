// Conversion rule loader.
//
// Stateless: each item is parsed on its own and applied at once through
// char_converter_set_pair_ex, so a failing item leaves the rules of the
// items before it in place.  A byte form is decided by its length (1, 2 or
// 4) and its first characters; everything else is refused with a message
// that names the text as written.  No locks: the caller owns the converter.
#include "char_convert_loader.h"

#include <cerrno>
#include <cstring>

#include "logger.h"

namespace {

// The byte a two-character form (backslash and letter) stands for; -1 for
// a letter without a meaning.
int two_char_byte(const char letter)
{
    switch (letter) {
    case '0': return '\0';
    case '\\': return '\\';
    case 'a': return '\a';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 's': return ' ';
    case 't': return '\t';
    case 'v': return '\v';
    default: return -1;
    }
}

// Value of one hexadecimal digit, or -1.
int hex_digit(const char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Turns one byte form into its byte.
int char_convert_loader_parse(const char *s, unsigned char *out_char)
{
    const size_t len = strlen(s);
    if (len == 1) {
        *out_char = static_cast<unsigned char>(s[0]);
        return 0;
    }
    if (s[0] != '\\') {
        logError("invalid char string: %s", s);
        return EINVAL;
    }
    if (len == 2) {
        const int byte = two_char_byte(s[1]);
        if (byte < 0) {
            logError("invalid char string: %s", s);
            return EINVAL;
        }
        *out_char = static_cast<unsigned char>(byte);
        return 0;
    }
    if (len == 4 && s[1] == 'x' && hex_digit(s[2]) >= 0 &&
        hex_digit(s[3]) >= 0) {
        *out_char =
            static_cast<unsigned char>(hex_digit(s[2]) * 16 + hex_digit(s[3]));
        return 0;
    }
    logError("invalid char string: %s, correct format: \\x##, ## for hex "
             "digital. eg. \\x20 for the SPACE char",
             s);
    return EINVAL;
}

// An escaping target: double quote, backslash, any character, double quote.
bool is_escape_target(const char *dest)
{
    return strlen(dest) == 4 && dest[1] == '\\' && dest[3] == '"';
}

}  // namespace

extern "C" {

KT_API int char_convert_loader_set_pair(KiteCharConverter *pCharConverter,
                                        const char *src, const char *dest)
{
    if (src == nullptr || *src == '\0') {
        logError("empty src string");
        return EINVAL;
    }
    if (dest == nullptr || *dest == '\0') {
        logError("empty dest string, src string: %s", src);
        return EINVAL;
    }
    unsigned char src_char;
    int result = char_convert_loader_parse(src, &src_char);
    if (result != 0) return result;
    if (*dest == '"') {
        if (!is_escape_target(dest)) {
            logError("invalid dest string: %s, correct format: \"\\c\", "
                     "eg. \"\\t\"",
                     dest);
            return EINVAL;
        }
        char_converter_set_pair_ex(pCharConverter, src_char,
                                   KITE_CHAR_OP_ESCAPE,
                                   static_cast<unsigned char>(dest[2]));
        return 0;
    }
    unsigned char dest_char;
    if ((result = char_convert_loader_parse(dest, &dest_char)) != 0) {
        return result;
    }
    char_converter_set_pair_ex(pCharConverter, src_char, KITE_CHAR_OP_REPLACE,
                               dest_char);
    return 0;
}

KT_API int char_convert_loader_add(KiteCharConverter *pCharConverter,
                                   const IniItem *items, const int count)
{
    if (count > 0 && items == nullptr) {
        logError("null items, count: %d", count);
        return EINVAL;
    }
    for (int i = 0; i < count; ++i) {
        const int result = char_convert_loader_set_pair(
            pCharConverter, items[i].name, items[i].value);
        if (result != 0) return result;
    }
    return 0;
}

KT_API int char_convert_loader_init(KiteCharConverter *pCharConverter,
                                    const IniItem *items, const int count)
{
    char_converter_init(pCharConverter, nullptr, 0);
    return char_convert_loader_add(pCharConverter, items, count);
}

}  // extern "C"
