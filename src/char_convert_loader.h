/*
 * Conversion rule loader: fills a character converter from configuration
 * items, one rule per item.  The item's name is the source byte, its value
 * what the byte becomes.
 *
 * Byte forms (source, and plain target): one character (its byte, a lone
 * backslash or double quote included); a backslash and one of 0 \ a b f n r
 * s t v; or \x and two hexadecimal digits (either case).  A target written
 * as double quote, backslash, c, double quote makes an escaping rule (the
 * byte comes out as a backslash and c); any other target is a replacement.
 *
 * Results are 0 or EINVAL; every refusal is logged at error level.  Rules
 * are added with char_converter_set_pair_ex, so the converter's unescape
 * table stays empty.  No state; loading needs exclusive use of the
 * converter.
 */
#ifndef KITE_CHAR_CONVERT_LOADER_H
#define KITE_CHAR_CONVERT_LOADER_H

#include "char_converter.h"
#include "common_define.h"
#include "ini_file_reader.h"

KT_EXTERN_C_BEGIN

/* Empties pCharConverter (both tables, count 0), then adds the count items
 * (borrowed; may be null when count <= 0) as char_convert_loader_add does.
 * Returns 0 or EINVAL; after a failure the rules of the items before the
 * failing one stay in the converter. */
KT_API int char_convert_loader_init(KiteCharConverter *pCharConverter,
                                    const IniItem *items, const int count);

/* Adds one rule per item, in order (a later rule for the same byte replaces
 * the earlier one).  Stops at the first invalid item and returns EINVAL;
 * earlier items stay applied, that one and later ones are not.  A count of
 * 0 or less adds nothing and returns 0; null items with a positive count
 * add nothing and return EINVAL (logged). */
KT_API int char_convert_loader_add(KiteCharConverter *pCharConverter,
                                   const IniItem *items, const int count);

/* Adds the rule "src becomes dest" (both NUL-terminated, borrowed, may be
 * null).  Returns 0, or EINVAL (logged, converter unchanged) for a missing
 * or empty text, or a text of none of the forms above. */
KT_API int char_convert_loader_set_pair(KiteCharConverter *pCharConverter,
                                        const char *src, const char *dest);

KT_EXTERN_C_END

#endif
