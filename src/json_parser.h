/*
 * Flat JSON codec: an array of strings, or a map from string keys to
 * string values.  Nothing nests and nothing is typed: a bare number, true or
 * null decodes to its text, and the encoders write every value as a quoted
 * string.
 *
 * Results are 0 or a positive errno value (EINVAL for malformed input,
 * ENOMEM for a failed allocation).  Every failure writes one line into the
 * caller's error_info buffer (snprintf rules: at most error_size bytes with
 * the NUL); error_info is left untouched on success.
 *
 * Dialect.  The decoder reads more than strict JSON: a trailing comma before
 * the closing bracket or brace ([a,] is one element); bare tokens, the
 * longest run of A-Z a-z 0-9 _ - . taken as text (so -1.5, true and null
 * decode to those texts, and keys need no quotes); strings in single
 * quotes as well as double quotes, with the escapes \' and \/ besides
 * \" \\ \b \t \n \r; and an empty bare key or value in a map ({:x} and
 * {a:} are accepted).  It refuses some strict JSON: \u, \f and every other
 * escape; white space before the opening or after the closing character
 * (inside them it may stand around every element, key, colon, value and
 * comma); nested arrays or maps; and bytes are taken as they come, with
 * no check of UTF-8.  The encoder writes every text double-quoted and
 * escapes exactly seven bytes, as \b \t \n \r \" \' and \\; every other
 * byte, control bytes and bytes above 127 included, is copied unchanged.
 * Its output is therefore strict JSON only when the texts hold no single
 * quote (strict JSON has no \' escape), no control byte other than those
 * four, and valid UTF-8; the decoder reads every encoder output back to
 * the same texts.
 *
 * Decoding into a record that already holds elements drops its table and
 * scratch buffer without freeing them (a leak): release a full record with
 * free_json_array / free_json_map first.  Decoding [] or {} succeeds with
 * count 0 (the record then still owns a scratch buffer to release).
 *
 * Ownership: a decoded record owns its element table and its scratch buffer
 * (every element's text points into that buffer, NUL-terminated) until
 * free_json_array / free_json_map; an encoded string is owned by the caller
 * until free_json_string.  No shared state: any thread may use its own
 * records.
 */
#ifndef KITE_JSON_PARSER_H
#define KITE_JSON_PARSER_H

#include <stdint.h>

#include "common_define.h"
#include "kt_memory.h"

/* Codes of detect_json_type. */
#define KITE_JSON_TYPE_STRING 1
#define KITE_JSON_TYPE_ARRAY 2
#define KITE_JSON_TYPE_MAP 3

KT_EXTERN_C_BEGIN

/* The untyped form of json_array_t and json_map_t: all three records have
 * the same layout, so growth and release are shared. */
typedef struct {
    void *elements;       /* alloc slots of element_size bytes; null if none */
    int32_t count;        /* slots in use */
    int32_t element_size; /* sizeof(string_t) or sizeof(key_value_pair_t) */
    int32_t alloc;        /* slots allocated in elements */
    char *buff;           /* the decoded texts, each NUL-terminated */
} common_array_t;

/* A decoded (or to-be-encoded) array of strings; fields as in
 * common_array_t. */
typedef struct {
    string_t *elements;   /* count strings */
    int32_t count;        /* strings in use */
    int32_t element_size; /* sizeof(string_t) */
    int32_t alloc;        /* slots allocated in elements */
    char *buff;           /* the decoded texts */
} json_array_t;

/* A decoded (or to-be-encoded) map of string pairs in input order; fields
 * as in common_array_t. */
typedef struct {
    key_value_pair_t *elements; /* count pairs */
    int32_t count;              /* pairs in use */
    int32_t element_size;       /* sizeof(key_value_pair_t) */
    int32_t alloc;              /* slots allocated in elements */
    char *buff;                 /* the decoded texts */
} json_map_t;

/* Classifies input by its first and last characters only: KITE_JSON_TYPE_ARRAY
 * for "[...]", KITE_JSON_TYPE_MAP for "{...}", KITE_JSON_TYPE_STRING for
 * anything else (including every input of 1 character or less).  input is
 * borrowed. */
KT_API int detect_json_type(const string_t *input);

/* Decodes the flat array input (first character '[', last ']') into array,
 * whose previous contents are dropped without being freed (release a full
 * record first).  input is borrowed; error_info receives the reason of a
 * failure.  Returns 0, EINVAL (malformed input) or ENOMEM; after a failure
 * array holds nothing (null pointers, count 0). */
KT_API int decode_json_array(const string_t *input, json_array_t *array,
                             char *error_info, const int error_size);

/* Writes array as JSON text: '[', each element double-quoted and escaped,
 * commas between, ']', no whitespace.  output->str becomes a new
 * NUL-terminated allocation owned by the caller (free_json_string);
 * output->len excludes the NUL.  array is not changed.  Returns 0, ENOMEM
 * (output->str null) or EINVAL for an element with a negative length. */
KT_API int encode_json_array(json_array_t *array, string_t *output,
                             char *error_info, const int error_size);

/* Decodes the flat map input (first character '{', last '}') into map, in
 * input order; duplicate keys stay separate pairs.  Same ownership, results
 * and failure state as decode_json_array. */
KT_API int decode_json_map(const string_t *input, json_map_t *map,
                           char *error_info, const int error_size);

/* Writes map as JSON text: '{', "key":"value" pairs separated by commas,
 * '}'.  Same ownership and results as encode_json_array. */
KT_API int encode_json_map(json_map_t *map, string_t *output, char *error_info,
                           const int error_size);

/* Releases the element table and the scratch buffer of a decoded record and
 * leaves null pointers and count 0; alloc and element_size are kept.  Safe
 * on an empty record. */
KT_API void free_common_array(common_array_t *array);

/* free_common_array on a decoded array. */
static inline void free_json_array(json_array_t *array)
{
    free_common_array((common_array_t *)array);
}

/* free_common_array on a decoded map. */
static inline void free_json_map(json_map_t *map)
{
    free_common_array((common_array_t *)map);
}

/* Releases an encoder's output (if str is not null) and leaves str null and
 * len 0. */
static inline void free_json_string(string_t *buffer)
{
    if (buffer->str != NULL) {
        kt_free(buffer->str);
        buffer->str = NULL;
        buffer->len = 0;
    }
}

KT_EXTERN_C_END

#endif
