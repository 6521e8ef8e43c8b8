/*
 * Character converter: rewrites single bytes of a text through a 256-entry
 * table.  A byte is copied, replaced by another byte, or escaped (written
 * as a backslash and another byte).  A second table drives the reverse
 * direction in place.
 *
 * A converter is plain data in the caller's storage (no heap memory, no
 * release).  It is filled by one of the init functions (or by the rule
 * loader) and may receive more rules through the set functions; those and
 * the init functions need exclusive use, while conversions only read the
 * converter and may run from any number of threads at once.
 */
#ifndef KITE_CHAR_CONVERTER_H
#define KITE_CHAR_CONVERTER_H

#include <stdint.h>

#include "common_define.h"

/* Operation codes of both tables. */
#define KITE_CHAR_OP_COPY 0    /* no rule: the byte stays as it is */
#define KITE_CHAR_OP_ESCAPE 1  /* write a backslash, then the target byte */
#define KITE_CHAR_OP_REPLACE 2 /* write the target byte instead */

/* The most pairs one init accepts: one per byte value. */
#define KITE_CHAR_CONVERTER_MAX_PAIRS 256

KT_EXTERN_C_BEGIN

/* One conversion rule: src becomes dest. */
typedef struct kite_char_pair {
    uint8_t src;  /* the byte to convert */
    uint8_t dest; /* its target byte */
} KiteCharPair;

/* What happens to one byte value. */
typedef struct kite_char_target {
    uint8_t op;   /* KITE_CHAR_OP_* */
    uint8_t dest; /* target byte (conversion) or source byte (unescape) */
} KiteCharTarget;

/* A converter, owned by the caller: a rule for every byte value, and the
 * reverse table for unescaping. */
typedef struct kite_char_converter {
    /* Number of conversion rules; informational, never read by the
     * conversions. */
    int32_t count;
    /* The rule of every byte value, indexed by the byte. */
    KiteCharTarget char_table[256];
    /* Indexed by a target byte: the operation that produced it and its
     * source byte.  Filled by char_converter_init_ex only. */
    KiteCharTarget unescape_chars[256];
} KiteCharConverter;

/* Clears pCharConverter and gives each of the count pairs (borrowed; may be
 * null when count <= 0) the operation op in both directions; a later pair
 * with the same src or dest overwrites the earlier entry.  count is stored
 * as given.  Returns 0, or EINVAL (logged, converter untouched) when count
 * exceeds KITE_CHAR_CONVERTER_MAX_PAIRS. */
KT_API int char_converter_init_ex(KiteCharConverter *pCharConverter,
                                  const KiteCharPair *charPairs,
                                  const int count, const unsigned int op);

/* char_converter_init_ex with KITE_CHAR_OP_REPLACE. */
static inline int char_converter_init(KiteCharConverter *pCharConverter,
                                      const KiteCharPair *charPairs,
                                      const int count)
{
    return char_converter_init_ex(pCharConverter, charPairs, count,
                                  KITE_CHAR_OP_REPLACE);
}

/* Replaces NUL, tab, line feed, vertical tab, form feed, carriage return
 * and space by dest_base + 0 .. + 6 (modulo 256), in that order.  Returns
 * 0. */
KT_API int std_space_char_converter_init(KiteCharConverter *pCharConverter,
                                         const unsigned char dest_base);

/* Escapes NUL, tab, line feed, vertical tab, form feed, carriage return,
 * space and backslash as \0 \t \n \v \f \r \s and \\.  Returns 0. */
KT_API int std_spaces_add_backslash_converter_init(
    KiteCharConverter *pCharConverter);

/* Sets the conversion rule of src (op KITE_CHAR_OP_* and dest) and keeps
 * count up to date (op 0 removes a rule).  The unescape table is not
 * changed, so kite_char_unescape does not reverse rules set this way. */
KT_API void char_converter_set_pair_ex(KiteCharConverter *pCharConverter,
                                       const unsigned char src,
                                       const unsigned int op,
                                       const unsigned char dest);

/* char_converter_set_pair_ex with KITE_CHAR_OP_REPLACE. */
KT_API void char_converter_set_pair(KiteCharConverter *pCharConverter,
                                    const unsigned char src,
                                    const unsigned char dest);

/* Converts input (input_len bytes, borrowed) into output (out_size bytes;
 * not NUL-terminated) and stores the bytes written in *out_len.  At most
 * out_size input bytes are looked at.  Once an escaping rule has been met,
 * every further byte needs the output to hold fewer than out_size - 1
 * bytes; when it does not, "exceeds max size" is logged as a warning and
 * the conversion stops (no error).  Returns the number of input bytes that
 * a rule converted.
 *
 * A cut-short output is not reported as an error, and the input beyond
 * out_size bytes is dropped without a message.  The output is surely
 * complete when out_size >= 2 * input_len (every byte may be escaped).
 * With less room: it is cut short whenever input_len > out_size; otherwise
 * it is complete when *out_len < out_size - 1, and may have been cut short
 * (with the warning logged) when *out_len is out_size - 1 or out_size. */
KT_API int kite_char_convert(KiteCharConverter *pCharConverter,
                             const char *input, const int input_len,
                             char *output, int *out_len, const int out_size);

/* Turns escape sequences (a backslash and a byte with an escaping rule) and,
 * after the first backslash only, replaced bytes back into their source
 * bytes, in place in str (*len bytes); updates *len.  A text without a
 * backslash is left alone.  Returns the number of sequences or bytes
 * turned back. */
KT_API int kite_char_unescape(KiteCharConverter *pCharConverter, char *str,
                              int *len);

KT_EXTERN_C_END

#endif
