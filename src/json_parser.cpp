// Flat JSON codec.
//
// Decoding is one pass over the input with one scratch buffer of length - 1
// bytes for every decoded text.  That size is always enough: no text decodes
// longer than it is written, and each element's NUL is paid for by the
// separator (comma or colon) or the opening quote that the parser consumed
// with it; the one element not followed by a separator is paid for by the
// byte saved by leaving out the opening bracket.  The same invariant lets
// the quoted-string loop store whole vectors (16 or 32 bytes) into the
// scratch buffer while at least as many input bytes remain before the
// closing character: inside a quoted string the write position trails the
// read position by at least one byte (the opening quote), so the store
// ends before the scratch buffer does.
//
// Encoding sizes the output once for the worst case (every byte escaped) and
// writes it in one pass; each string's escaped text is written to a
// temporary buffer of 2 * len + 1 bytes (the one allocation per string that
// the codec promises) and, from the same registers, to the output.  A string
// of up to 64 bytes with nothing to escape is tested and copied in one step
// by four loads whose offsets are clamped to its length: every length of one
// class (1-3, 4-7, 8-32, 33-64 bytes) takes the same branches, as random
// lengths would otherwise mispredict a branch or two per string.  Loads and
// stores never leave the string, the temporary buffer or the string's share
// of the output.  Strings with escapes go 16 bytes at a time up to the next
// candidate byte.  No locks: records are the caller's.
#include "json_parser.h"

#include <emmintrin.h>

#include <array>
#include <cstdarg>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "kt_alloc_util.h"
#include "kt_memory.h"

// Allocation failures are logged under the module's published file name,
// which log watchers match on.
#define JSON_MALLOC(size) kt_malloc_ex("json_parser.c", __LINE__, size)
#define JSON_REALLOC(ptr, size) \
    kt_realloc_ex("json_parser.c", __LINE__, ptr, size)

namespace {

struct ParseContext {
    const char *str;   // start of the input
    const char *p;     // current position
    const char *end;   // the closing bracket or brace
    string_t element;  // str: next free scratch byte; len: last text's length
    char *error_info;
    int error_size;
};

constexpr int kExcerptChars = 80;
constexpr int kInitialAlloc = 32;

enum : uint8_t { kWhitespace = 1, kTokenChar = 2 };

constexpr std::array<uint8_t, 256> make_char_classes()
{
    std::array<uint8_t, 256> t{};
    t[' '] = t['\t'] = t['\n'] = t['\r'] = kWhitespace;
    for (int c = '0'; c <= '9'; ++c) t[c] = kTokenChar;
    for (int c = 'a'; c <= 'z'; ++c) t[c] = kTokenChar;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = kTokenChar;
    t['_'] = t['-'] = t['.'] = kTokenChar;
    return t;
}
constexpr std::array<uint8_t, 256> kCharClasses = make_char_classes();

// The seven bytes the encoder escapes, each with the letter written after
// its backslash.  The decoder accepts these letters and "\/" besides.
struct EscapePair {
    char byte;
    char letter;
};
constexpr EscapePair kEscapePairs[] = {
    {'\b', 'b'}, {'\t', 't'},  {'\n', 'n'},  {'\r', 'r'},
    {'"', '"'},  {'\'', '\''}, {'\\', '\\'},
};

// The byte an escape letter stands for; 0 marks an escape we reject (no
// accepted escape decodes to NUL).
constexpr std::array<char, 256> make_unescapes()
{
    std::array<char, 256> t{};
    for (const EscapePair &e : kEscapePairs) {
        t[static_cast<unsigned char>(e.letter)] = e.byte;
    }
    t['/'] = '/';
    return t;
}
constexpr std::array<char, 256> kUnescapes = make_unescapes();

// The letter written after a backslash for the seven escaped bytes; 0 for
// bytes copied unchanged.
constexpr std::array<char, 256> make_escapes()
{
    std::array<char, 256> t{};
    for (const EscapePair &e : kEscapePairs) {
        t[static_cast<unsigned char>(e.byte)] = e.letter;
    }
    return t;
}
constexpr std::array<char, 256> kEscapes = make_escapes();

inline uint8_t class_of(char c)
{
    return kCharClasses[static_cast<unsigned char>(c)];
}

void write_error(char *error_info, int error_size, const char *format, ...)
    KT_PRINTF_FORMAT(3, 4);

void write_error(char *error_info, int error_size, const char *format, ...)
{
    if (error_info == nullptr || error_size <= 0) return;
    va_list ap;
    va_start(ap, format);
    vsnprintf(error_info, error_size, format, ap);
    va_end(ap);
}

// "message, input: excerpt", the excerpt being the (at most 80) input
// characters that end at error_pos.
int set_parse_error(ParseContext *ctx, const char *error_pos,
                    const char *message)
{
    const char *start = error_pos - ctx->str > kExcerptChars
                            ? error_pos - kExcerptChars
                            : ctx->str;
    write_error(ctx->error_info, ctx->error_size, "%s, input: %.*s", message,
                static_cast<int>(error_pos - start), start);
    return EINVAL;
}

void skip_whitespace(ParseContext *ctx)
{
    const char *p = ctx->p;
    while (p < ctx->end && class_of(*p) == kWhitespace) ++p;
    ctx->p = p;
}

// Position of the first quote or backslash among 16 bytes as a bit mask.
inline unsigned special_mask(__m128i v, __m128i quote)
{
    const __m128i backslash = _mm_set1_epi8('\\');
    __m128i hit =
        _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash));
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
}

// Decodes the escape whose backslash is at p; returns the position after
// it, or null once the error text is written.
const char *decode_escape(ParseContext *ctx, const char *p, char **dst)
{
    if (p + 1 >= ctx->end) {
        set_parse_error(ctx, ctx->end, "expect a character after \\");
        return nullptr;
    }
    const unsigned char c = static_cast<unsigned char>(p[1]);
    const char decoded = kUnescapes[c];
    if (decoded == 0) {
        char message[64];
        snprintf(message, sizeof(message),
                 "invalid escaped character: %c(0x%x)", c,
                 static_cast<unsigned>(c));
        set_parse_error(ctx, p + 2, message);
        return nullptr;
    }
    *(*dst)++ = decoded;
    return p + 2;
}

// Copies ordinary bytes from *p to *dst a vector at a time.  Returns true
// with *p on the first quote or backslash met, false once fewer than 16
// input bytes remain before end.
inline bool copy_vector_run(const char **p, char **dst, const char *end,
                            __m128i quote)
{
    while (end - *p >= 16) {
        unsigned mask;
        unsigned width;
        __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(*p));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(*dst), v0);
        if (end - *p >= 32) {
            // Two vectors per step: most short strings end within the first.
            __m128i v1 =
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(*p + 16));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(*dst + 16), v1);
            mask = special_mask(v0, quote) | (special_mask(v1, quote) << 16);
            width = 32;
        } else {
            mask = special_mask(v0, quote);
            width = 16;
        }
        const unsigned n = mask == 0 ? width : __builtin_ctz(mask);
        *p += n;
        *dst += n;
        if (mask != 0) return true;
    }
    return false;
}

// A quoted string opening at ctx->p.
int parse_quoted(ParseContext *ctx)
{
    const char quote_char = *ctx->p;
    const __m128i quote = _mm_set1_epi8(quote_char);
    const char *p = ctx->p + 1;
    const char *end = ctx->end;
    char *dst = ctx->element.str;
    for (;;) {
        if (!copy_vector_run(&p, &dst, end, quote)) {
            if (p >= end) {
                char message[48];
                snprintf(message, sizeof(message),
                         "expect closed character: %c", quote_char);
                return set_parse_error(ctx, end, message);
            }
            if (*p != quote_char && *p != '\\') {
                *dst++ = *p++;
                continue;
            }
        }
        if (*p == quote_char) break;
        if ((p = decode_escape(ctx, p, &dst)) == nullptr) return EINVAL;
    }
    *dst = '\0';
    ctx->element.len = static_cast<int32_t>(dst - ctx->element.str);
    ctx->p = p + 1;
    return 0;
}

// The longest run of token characters at ctx->p (possibly empty).
void parse_bare_token(ParseContext *ctx)
{
    const char *p = ctx->p;
    const char *start = p;
    while (p < ctx->end && class_of(*p) == kTokenChar) ++p;
    const size_t n = static_cast<size_t>(p - start);
    memcpy(ctx->element.str, start, n);
    ctx->element.str[n] = '\0';
    ctx->element.len = static_cast<int32_t>(n);
    ctx->p = p;
}

// Decodes one element, key or value at ctx->p into ctx->element.str.
int next_json_element(ParseContext *ctx)
{
    if (ctx->p < ctx->end && (*ctx->p == '"' || *ctx->p == '\'')) {
        return parse_quoted(ctx);
    }
    parse_bare_token(ctx);
    return 0;
}

// Skips whitespace after an element or pair and consumes its comma, unless
// the closing character follows.
int expect_separator(ParseContext *ctx)
{
    skip_whitespace(ctx);
    if (ctx->p == ctx->end) return 0;
    if (*ctx->p != ',') {
        return set_parse_error(ctx, ctx->p, "expect comma \",\"");
    }
    ++ctx->p;
    return 0;
}

// Skips whitespace before an element or key; 1 when the closing character
// is reached, 0 when an element starts here, EINVAL on a stray comma.
int begin_element(ParseContext *ctx)
{
    skip_whitespace(ctx);
    if (ctx->p == ctx->end) return 1;
    if (*ctx->p == ',') {
        return set_parse_error(ctx, ctx->p + 1, "unexpect comma \",\"");
    }
    return 0;
}

// Hands the last decoded text over to the caller and moves the scratch
// position past its NUL.
string_t take_element(ParseContext *ctx)
{
    string_t text = ctx->element;
    ctx->element.str += ctx->element.len + 1;
    return text;
}

int check_alloc_array(common_array_t *array, char *error_info,
                      const int error_size)
{
    if (array->count < array->alloc) return 0;
    // 32 slots first, then doubling; past INT32_MAX slots the growth fails.
    const int64_t alloc =
        kite::grown_capacity(array->alloc, int64_t{array->count} + 1,
                             kInitialAlloc, int64_t{INT32_MAX} * 2);
    const int64_t bytes = alloc * array->element_size;
    void *elements =
        alloc > INT32_MAX
            ? nullptr
            : JSON_REALLOC(array->elements, static_cast<size_t>(bytes));
    if (elements == nullptr) {
        write_error(error_info, error_size, "realloc %lld bytes fail",
                    static_cast<long long>(bytes));
        return ENOMEM;
    }
    array->elements = elements;
    array->alloc = static_cast<int32_t>(alloc);
    return 0;
}

int check_alloc_json_array(json_array_t *array, char *error_info,
                           const int error_size)
{
    return check_alloc_array(reinterpret_cast<common_array_t *>(array),
                             error_info, error_size);
}

int check_alloc_json_map(json_map_t *map, char *error_info,
                         const int error_size)
{
    return check_alloc_array(reinterpret_cast<common_array_t *>(map),
                             error_info, error_size);
}

// Clears the record, checks the framing characters and allocates the
// scratch buffer; on success ctx is ready to parse the inside.
int prepare_json_parse(const string_t *input, common_array_t *array,
                       const char open, const char close, ParseContext *ctx,
                       char *error_info, const int error_size)
{
    array->elements = nullptr;
    array->alloc = 0;
    array->count = 0;
    array->buff = nullptr;
    if (input->len < 2) {
        write_error(error_info, error_size, "json string is too short");
        return EINVAL;
    }
    if (input->str[0] != open) {
        write_error(error_info, error_size, "json array must start with \"%c\"",
                    open);
        return EINVAL;
    }
    if (input->str[input->len - 1] != close) {
        write_error(error_info, error_size, "json array must end with \"%c\"",
                    close);
        return EINVAL;
    }
    const int buff_size = input->len - 1;
    array->buff = static_cast<char *>(JSON_MALLOC(buff_size));
    if (array->buff == nullptr) {
        write_error(error_info, error_size, "malloc %d bytes fail", buff_size);
        return ENOMEM;
    }
    *ctx = ParseContext{input->str,
                        input->str + 1,
                        input->str + input->len - 1,
                        string_t{array->buff, 0},
                        error_info,
                        error_size};
    return 0;
}

// One array element; its text goes to *item.
int parse_item(ParseContext *ctx, string_t *item)
{
    const int result = next_json_element(ctx);
    if (result == 0) *item = take_element(ctx);
    return result;
}

// Key, colon and value of one pair; the texts go to *pair.
int parse_item(ParseContext *ctx, key_value_pair_t *pair)
{
    int result = next_json_element(ctx);
    if (result != 0) return result;
    pair->key = take_element(ctx);
    skip_whitespace(ctx);
    if (ctx->p >= ctx->end || *ctx->p != ':') {
        return set_parse_error(ctx, ctx->p, "expect colon \":\"");
    }
    ++ctx->p;
    skip_whitespace(ctx);
    if ((result = next_json_element(ctx)) != 0) return result;
    pair->value = take_element(ctx);
    return 0;
}

int check_alloc(json_array_t *array, const ParseContext *ctx)
{
    return check_alloc_json_array(array, ctx->error_info, ctx->error_size);
}

int check_alloc(json_map_t *map, const ParseContext *ctx)
{
    return check_alloc_json_map(map, ctx->error_info, ctx->error_size);
}

// The item loop of both decoders: elements of an array, pairs of a map,
// each followed by a comma or the closing character.
template <typename Record>
int parse_items(ParseContext *ctx, Record *record)
{
    int result;
    std::remove_pointer_t<decltype(record->elements)> item{};
    while (ctx->p < ctx->end) {
        if ((result = begin_element(ctx)) != 0) return result == 1 ? 0 : result;
        if ((result = parse_item(ctx, &item)) != 0) return result;
        if ((result = expect_separator(ctx)) != 0) return result;
        if ((result = check_alloc(record, ctx)) != 0) return result;
        record->elements[record->count++] = item;
    }
    return 0;
}

// Both decoders: on failure the record is left holding nothing.
template <typename Record>
int decode_record(const string_t *input, Record *record, const char open,
                  const char close, char *error_info, const int error_size)
{
    ParseContext ctx;
    common_array_t *common = reinterpret_cast<common_array_t *>(record);
    record->element_size = sizeof(*record->elements);
    int result = prepare_json_parse(input, common, open, close, &ctx,
                                    error_info, error_size);
    if (result != 0) return result;
    if ((result = parse_items(&ctx, record)) != 0) {
        free_common_array(common);
        record->count = 0;
    }
    return result;
}

// Where an escaped text goes: the string's temporary buffer and, at the
// same offsets, the output just after the opening quote.  Each piece of
// escaped text is stored to both from the same register; copying the text
// from the buffer afterwards loads across several fresh stores, which
// stall, and cost a fifth of the encoding time.  Both have room for two
// bytes per source byte.
struct EscapeTarget {
    char *temp;
    char *out;
};

inline void put_bytes(const EscapeTarget &t, ptrdiff_t at, char first,
                      char second)
{
    t.temp[at] = first;
    t.temp[at + 1] = second;
    t.out[at] = first;
    t.out[at + 1] = second;
}

inline void put16(const EscapeTarget &t, ptrdiff_t at, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i *>(t.temp + at), v);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(t.out + at), v);
}

inline void put8(const EscapeTarget &t, ptrdiff_t at, __m128i v)
{
    _mm_storel_epi64(reinterpret_cast<__m128i *>(t.temp + at), v);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(t.out + at), v);
}

inline void put4(const EscapeTarget &t, ptrdiff_t at, __m128i v)
{
    const int32_t x = _mm_cvtsi128_si32(v);
    memcpy(t.temp + at, &x, sizeof(x));
    memcpy(t.out + at, &x, sizeof(x));
}

inline __m128i load32(const char *p)
{
    int32_t v;
    memcpy(&v, p, sizeof(v));
    return _mm_cvtsi32_si128(v);
}

inline __m128i load16(const char *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

inline __m128i load64(const char *p)
{
    return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p));
}

// Lanes of v that may need an escape: the quotes, the backslash and every
// byte up to carriage return (a superset; the table decides per byte).
inline unsigned escape_candidates(__m128i v)
{
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                     _mm_cmpeq_epi8(v, _mm_set1_epi8('\''))),
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')),
                     _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8('\r')), v)));
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
}

// Escapes the byte at p to offset at; returns the offset after it.
inline ptrdiff_t escape_byte(const char *p, const EscapeTarget &t, ptrdiff_t at)
{
    const char letter = kEscapes[static_cast<unsigned char>(*p)];
    put_bytes(t, at, letter != 0 ? '\\' : *p, letter);
    return at + 1 + (letter != 0);
}

ptrdiff_t escape_bytes(const char *p, const char *end, const EscapeTarget &t,
                       ptrdiff_t at)
{
    for (; p < end; ++p) at = escape_byte(p, t, at);
    return at;
}

// A string of 16 bytes or more: 16 at a time until at most 16 are left,
// then the last 16 bytes in one test, overlapping bytes already written
// unchanged when none of them needs an escape.
ptrdiff_t escape_long(const char *p, const char *end, const EscapeTarget &t)
{
    ptrdiff_t at = 0;
    while (end - p > 16) {
        const __m128i v = load16(p);
        put16(t, at, v);
        const unsigned mask = escape_candidates(v);
        if (mask == 0) {
            p += 16;
            at += 16;
            continue;
        }
        const unsigned n = static_cast<unsigned>(__builtin_ctz(mask));
        at = escape_byte(p + n, t, at + n);
        p += n + 1;
    }
    const __m128i last = load16(end - 16);
    if (escape_candidates(last) != 0) return escape_bytes(p, end, t, at);
    const ptrdiff_t left = end - p;
    put16(t, at + left - 16, last);
    return at + left;
}

// min(offset, last) by arithmetic: a branch on the length would be
// mispredicted as often as lengths vary.
inline ptrdiff_t clamp_offset(ptrdiff_t offset, ptrdiff_t last)
{
    const ptrdiff_t over = last - offset;
    return offset + (over & (over >> 63));
}

// Four loads of width W at 0, W, 2 W (each moved back to len - W when it
// would pass the end) and len - W: together they cover any length from W
// to 4 W with no branch on the length.
template <int W>
inline bool copy_plain4(const char *src, const int len, const EscapeTarget &t)
{
    const ptrdiff_t last = len - W;
    const ptrdiff_t o1 = clamp_offset(W, last);
    const ptrdiff_t o2 = clamp_offset(2 * W, last);
    if constexpr (W == 8) {
        const __m128i a = load64(src), b = load64(src + o1);
        const __m128i c = load64(src + o2), d = load64(src + last);
        if ((escape_candidates(_mm_unpacklo_epi64(a, b)) |
             escape_candidates(_mm_unpacklo_epi64(c, d))) != 0)
            return false;
        put8(t, 0, a);
        put8(t, o1, b);
        put8(t, o2, c);
        put8(t, last, d);
    } else {
        const __m128i a = load16(src), b = load16(src + o1);
        const __m128i c = load16(src + o2), d = load16(src + last);
        if ((escape_candidates(a) | escape_candidates(b) |
             escape_candidates(c) | escape_candidates(d)) != 0)
            return false;
        put16(t, 0, a);
        put16(t, o1, b);
        put16(t, o2, c);
        put16(t, last, d);
    }
    return true;
}

// Copies a string of up to 64 bytes that needs no escape in one step and
// returns true; false (nothing written) when some byte may need an escape
// or the string is longer.  Reads only the len bytes of src and writes only
// the first len bytes of each target.
inline bool copy_plain(const char *src, const int len, const EscapeTarget &t)
{
    if (len >= 8) {
        if (len <= 32) return copy_plain4<8>(src, len, t);
        return len <= 64 && copy_plain4<16>(src, len, t);
    }
    const char *end = src + len;
    if (len >= 4) {
        const __m128i head = load32(src);
        const __m128i tail = load32(end - 4);
        // Lanes 4-7 and 12-15 are zero padding, which the test would flag.
        if ((escape_candidates(_mm_unpacklo_epi64(head, tail)) & 0x0F0F) != 0)
            return false;
        put4(t, 0, head);
        put4(t, len - 4, tail);
    } else if (len > 0) {
        // First, middle and last byte: all of a string of 1 to 3 bytes.
        const unsigned char a = src[0], b = src[len / 2], c = src[len - 1];
        if ((kEscapes[a] | kEscapes[b] | kEscapes[c]) != 0) return false;
        t.temp[0] = t.out[0] = a;
        t.temp[len / 2] = t.out[len / 2] = b;
        t.temp[len - 1] = t.out[len - 1] = c;
    }
    return true;
}

// Escapes len bytes of src into both targets; returns the escaped length.
int json_escape_string(const char *src, const int len, const EscapeTarget &t)
{
    if (copy_plain(src, len, t)) return len;
    const char *end = src + len;
    if (len >= 16) return static_cast<int>(escape_long(src, end, t));
    return static_cast<int>(escape_bytes(src, end, t, 0));
}

// Writes src double-quoted and escaped at *pos and moves *pos past it; the
// escaped text is also written to a temporary buffer of 2 * len + 1 bytes,
// allocated and released for this string.
int json_quote_string(char **pos, const string_t *src, char *error_info,
                      const int error_size)
{
    const int temp_size = 2 * src->len + 1;
    kite::unique_ptr<char> temp(static_cast<char *>(JSON_MALLOC(temp_size)));
    if (temp == nullptr) {
        write_error(error_info, error_size, "malloc %d bytes fail", temp_size);
        return ENOMEM;
    }
    char *p = *pos;
    *p = '"';
    const int n =
        json_escape_string(src->str, src->len, EscapeTarget{temp.get(), p + 1});
    p[n + 1] = '"';
    *pos = p + n + 2;
    return 0;
}

// Worst-case output size: 3 bytes, per_item bytes for each of item_count
// items (quotes, colon, separator) and twice the length of each of their
// texts.  EINVAL for a negative length; ENOMEM when the text could not be
// described by an int32 length.
int size_output(const string_t *texts, int64_t item_count, int texts_per_item,
                int per_item, int64_t *size, char *error_info,
                const int error_size)
{
    int64_t total = 3 + per_item * item_count;
    for (int64_t i = 0; i < item_count * texts_per_item; ++i) {
        if (texts[i].len < 0) {
            write_error(error_info, error_size, "invalid string length: %d",
                        texts[i].len);
            return EINVAL;
        }
        total += 2 * static_cast<int64_t>(texts[i].len);
    }
    *size = total;
    if (total > INT32_MAX) {
        write_error(error_info, error_size, "malloc %lld bytes fail",
                    static_cast<long long>(total));
        return ENOMEM;
    }
    return 0;
}

// Allocates the output for the worst case and writes the opening character.
int begin_output(const string_t *texts, int64_t item_count, int texts_per_item,
                 int per_item, char open, string_t *output, char *error_info,
                 const int error_size)
{
    output->str = nullptr;
    output->len = 0;
    int64_t size;
    int result = size_output(texts, item_count, texts_per_item, per_item, &size,
                             error_info, error_size);
    if (result != 0) return result;
    output->str = static_cast<char *>(JSON_MALLOC(static_cast<size_t>(size)));
    if (output->str == nullptr) {
        write_error(error_info, error_size, "malloc %d bytes fail",
                    static_cast<int>(size));
        return ENOMEM;
    }
    output->str[0] = open;
    return 0;
}

void end_output(string_t *output, char *pos, char close)
{
    *pos++ = close;
    *pos = '\0';
    output->len = static_cast<int32_t>(pos - output->str);
}

int write_item(char **pos, const string_t &item, char *error_info,
               const int error_size)
{
    return json_quote_string(pos, &item, error_info, error_size);
}

int write_item(char **pos, const key_value_pair_t &pair, char *error_info,
               const int error_size)
{
    int result = json_quote_string(pos, &pair.key, error_info, error_size);
    if (result != 0) return result;
    *(*pos)++ = ':';
    return json_quote_string(pos, &pair.value, error_info, error_size);
}

// Both encoders; per_item is the bytes each item adds besides its escaped
// texts.  An item is one or two consecutive string_t, so the sizing walks
// the items as a flat run of strings.
template <typename Record>
int encode_record(const Record *record, const int per_item, const char open,
                  const char close, string_t *output, char *error_info,
                  const int error_size)
{
    using Item = std::remove_pointer_t<decltype(Record::elements)>;
    static_assert(sizeof(Item) % sizeof(string_t) == 0);
    const string_t *texts =
        reinterpret_cast<const string_t *>(record->elements);
    int result =
        begin_output(texts, record->count, sizeof(Item) / sizeof(string_t),
                     per_item, open, output, error_info, error_size);
    if (result != 0) return result;
    char *pos = output->str + 1;
    for (int32_t i = 0; i < record->count; ++i) {
        if (i > 0) *pos++ = ',';
        result = write_item(&pos, record->elements[i], error_info, error_size);
        if (result != 0) {
            free_json_string(output);
            return result;
        }
    }
    end_output(output, pos, close);
    return 0;
}

}  // namespace

extern "C" {

KT_API int detect_json_type(const string_t *input)
{
    if (input == nullptr || input->len <= 1) return KITE_JSON_TYPE_STRING;
    const char first = input->str[0];
    const char last = input->str[input->len - 1];
    if (first == '[')
        return last == ']' ? KITE_JSON_TYPE_ARRAY : KITE_JSON_TYPE_STRING;
    if (first == '{')
        return last == '}' ? KITE_JSON_TYPE_MAP : KITE_JSON_TYPE_STRING;
    return KITE_JSON_TYPE_STRING;
}

KT_API void free_common_array(common_array_t *array)
{
    if (array->elements != nullptr) {
        kt_free(array->elements);
        array->elements = nullptr;
        array->count = 0;
    }
    if (array->buff != nullptr) {
        kt_free(array->buff);
        array->buff = nullptr;
    }
}

KT_API int decode_json_array(const string_t *input, json_array_t *array,
                             char *error_info, const int error_size)
{
    return decode_record(input, array, '[', ']', error_info, error_size);
}

KT_API int decode_json_map(const string_t *input, json_map_t *map,
                           char *error_info, const int error_size)
{
    return decode_record(input, map, '{', '}', error_info, error_size);
}

KT_API int encode_json_array(json_array_t *array, string_t *output,
                             char *error_info, const int error_size)
{
    // Quotes and comma of each element.
    return encode_record(array, 3, '[', ']', output, error_info, error_size);
}

KT_API int encode_json_map(json_map_t *map, string_t *output, char *error_info,
                           const int error_size)
{
    // Four quotes, colon and comma of each pair.
    return encode_record(map, 6, '{', '}', output, error_info, error_size);
}

}  // extern "C"
