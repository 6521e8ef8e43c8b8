// Character converter.
//
// The converter is two 256-entry tables in the caller's record: char_table
// (the rule of each source byte) and unescape_chars (the reverse rule of
// each target byte).  Conversions are pure reads of the record and take no
// lock; the init and set functions need exclusive use.
//
// Speed: a text usually has few bytes with a rule, so the conversion and
// the unescaping skip runs of rule-free bytes 32 at a time.  Whether a byte
// has a rule is answered for 32 bytes at once by a nibble lookup: the low
// nibble selects a byte of bit flags, the high nibble selects the bit, so
// any set of byte values can be tested with two shuffles (AVX2, chosen at
// run time; other CPUs and short texts take the plain table loop).  The
// lookup tables are derived from the converter at each call, which costs a
// pass over 256 entries and is only done for texts long enough to repay it.
// The escaping pass takes 64 bytes per step, and the unescaping stores
// whole vectors once it trails the read position by one (see the loops).
// Results are byte for byte those of the plain loop, room checks included,
// and unescaping leaves the bytes past its result as they were.
#include "char_converter.h"

#include <immintrin.h>

#include <cerrno>
#include <cstring>

#include "logger.h"

namespace {

// Texts shorter than this take the plain loop only.
constexpr ptrdiff_t kVectorMinBytes = 128;
constexpr int kVectorBytes = 32;

// A set of byte values as two 16-entry tables indexed by the low nibble:
// bit h of first[l] is set when the byte (h << 4 | l) is a member (h < 8),
// bit h - 8 of second[l] when it is a member with h >= 8.
struct ByteSet {
    uint8_t first[16];
    uint8_t second[16];
};

template <typename Member>
ByteSet build_byte_set(Member is_member)
{
    ByteSet set{};
    for (int b = 0; b < 256; ++b) {
        if (!is_member(b)) continue;
        const int hi = b >> 4;
        const int lo = b & 15;
        if (hi < 8) {
            set.first[lo] |= static_cast<uint8_t>(1u << hi);
        } else {
            set.second[lo] |= static_cast<uint8_t>(1u << (hi - 8));
        }
    }
    return set;
}

bool has_avx2()
{
    static const bool supported = __builtin_cpu_supports("avx2") != 0;
    return supported;
}

struct VectorSet {
    __m256i first;
    __m256i second;
};

__attribute__((target("avx2"))) inline VectorSet load_set(const ByteSet &set)
{
    return VectorSet{_mm256_broadcastsi128_si256(_mm_loadu_si128(
                         reinterpret_cast<const __m128i *>(set.first))),
                     _mm256_broadcastsi128_si256(_mm_loadu_si128(
                         reinterpret_cast<const __m128i *>(set.second)))};
}

// Bit i set when byte i of v is a member of the set.
__attribute__((target("avx2"))) inline unsigned member_mask(__m256i v,
                                                            const VectorSet &s)
{
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i bits = _mm256_setr_epi8(
        1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8,
        16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    const __m256i lo = _mm256_and_si256(v, nibble);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
    // The sign bit of each byte (high nibble >= 8) picks the second table.
    const __m256i row = _mm256_blendv_epi8(
        _mm256_shuffle_epi8(s.first, lo), _mm256_shuffle_epi8(s.second, lo), v);
    const __m256i hit = _mm256_and_si256(row, _mm256_shuffle_epi8(bits, hi));
    const __m256i miss = _mm256_cmpeq_epi8(hit, _mm256_setzero_si256());
    return ~static_cast<unsigned>(_mm256_movemask_epi8(miss));
}

struct ConvertCursor {
    const uint8_t *p;    // next input byte
    const uint8_t *end;  // input end (capped at out_size bytes)
    char *out;           // next output byte
    int count;           // bytes a rule converted
};

// Writes the result of one byte that has a rule.
inline void apply_rule(const KiteCharTarget &t, ConvertCursor *c)
{
    if (t.op == KITE_CHAR_OP_ESCAPE) *c->out++ = '\\';
    *c->out++ = static_cast<char>(t.dest);
    ++c->count;
    ++c->p;
}

// First pass, vector part: stops at a byte with an escaping rule or when
// fewer than 32 bytes remain.  Output and input advance together, and the
// input end is capped at out_size, so each 32-byte store fits; a replaced
// byte is patched in place after the store.
__attribute__((target("avx2"))) void first_pass_vector(
    const KiteCharTarget *table, const ByteSet &set, ConvertCursor *c)
{
    const VectorSet s = load_set(set);
    while (c->end - c->p >= kVectorBytes) {
        const __m256i v =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(c->p));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(c->out), v);
        for (unsigned mask = member_mask(v, s); mask != 0; mask &= mask - 1) {
            const unsigned k = __builtin_ctz(mask);
            const KiteCharTarget t = table[c->p[k]];
            if (t.op == KITE_CHAR_OP_ESCAPE) {
                c->p += k;
                c->out += k;
                return;
            }
            c->out[k] = static_cast<char>(t.dest);
            ++c->count;
        }
        c->p += kVectorBytes;
        c->out += kVectorBytes;
    }
}

// Second pass, vector part, 64 input bytes (two vectors) per step, so that
// the loop over the bytes with a rule, whose length no predictor guesses,
// ends half as often.  64 input bytes give at most 128 output bytes, and
// the stores of a step reach at most 130 bytes past its start plus one per
// escape, so while 256 bytes of room remain below out_size - 1 the room
// check of every byte would pass and is skipped.  The block is stored once;
// after each escaped byte the rest of it is stored again one byte further
// on, reloaded from the input (hence 128 input bytes must remain).
__attribute__((target("avx2"))) void second_pass_vector(
    const KiteCharTarget *table, const ByteSet &set, ConvertCursor *c,
    const char *output, const int out_size)
{
    const VectorSet s = load_set(set);
    constexpr int kBlock = 2 * kVectorBytes;
    while (c->end - c->p >= 2 * kBlock &&
           out_size - 1 - (c->out - output) >= 4 * kBlock) {
        const __m256i v0 =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(c->p));
        const __m256i v1 = _mm256_loadu_si256(
            reinterpret_cast<const __m256i *>(c->p + kVectorBytes));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(c->out), v0);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(c->out + kVectorBytes),
                            v1);
        uint64_t mask =
            member_mask(v0, s) | static_cast<uint64_t>(member_mask(v1, s))
                                     << kVectorBytes;
        for (; mask != 0; mask &= mask - 1) {
            const unsigned k = static_cast<unsigned>(__builtin_ctzll(mask));
            const KiteCharTarget t = table[c->p[k]];
            char *o = c->out + k;
            ++c->count;
            if (t.op != KITE_CHAR_OP_ESCAPE) {
                *o = static_cast<char>(t.dest);
                continue;
            }
            o[0] = '\\';
            o[1] = static_cast<char>(t.dest);
            const uint8_t *rest = c->p + k + 1;
            _mm256_storeu_si256(
                reinterpret_cast<__m256i *>(o + 2),
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rest)));
            _mm256_storeu_si256(
                reinterpret_cast<__m256i *>(o + 2 + kVectorBytes),
                _mm256_loadu_si256(
                    reinterpret_cast<const __m256i *>(rest + kVectorBytes)));
            ++c->out;  // the rest of this block lands one byte further on
        }
        c->p += kBlock;
        c->out += kBlock;
    }
}

// First pass: copies and replaces until the input end or the first byte
// with an escaping rule; true when such a byte stopped it.
bool first_pass(const KiteCharTarget *table, ConvertCursor *c, ByteSet *set,
                bool *set_built)
{
    if (c->end - c->p >= kVectorMinBytes && has_avx2()) {
        *set = build_byte_set([table](int b) { return table[b].op != 0; });
        *set_built = true;
        first_pass_vector(table, *set, c);
    }
    for (; c->p < c->end;) {
        const KiteCharTarget t = table[*c->p];
        if (t.op == KITE_CHAR_OP_COPY) {
            *c->out++ = static_cast<char>(*c->p++);
        } else if (t.op == KITE_CHAR_OP_ESCAPE) {
            return true;
        } else {
            apply_rule(t, c);
        }
    }
    return false;
}

// Second pass: every byte first checks that the output holds fewer than
// out_size - 1 bytes, since an escaped byte needs two.
void second_pass(const KiteCharTarget *table, ConvertCursor *c, ByteSet *set,
                 bool set_built, const char *output, const int out_size)
{
    if (c->end - c->p >= kVectorMinBytes && has_avx2()) {
        if (!set_built) {
            *set = build_byte_set([table](int b) { return table[b].op != 0; });
        }
        second_pass_vector(table, *set, c, output, out_size);
    }
    for (; c->p < c->end;) {
        if (c->out - output >= out_size - 1) {
            logWarning("exceeds max size: %d", out_size);
            return;
        }
        const KiteCharTarget t = table[*c->p];
        if (t.op == KITE_CHAR_OP_COPY) {
            *c->out++ = static_cast<char>(*c->p++);
        } else {
            apply_rule(t, c);
        }
    }
}

struct UnescapeCursor {
    const char *r;    // next byte to read
    const char *end;  // end of the text
    char *w;          // next byte to write (never after r)
    int count;        // sequences or bytes turned back
};

inline void unescape_one(const KiteCharTarget *unescape, UnescapeCursor *c)
{
    const unsigned char ch = static_cast<unsigned char>(*c->r);
    if (ch == '\\') {
        if (c->r + 1 < c->end) {
            const KiteCharTarget t =
                unescape[static_cast<unsigned char>(c->r[1])];
            if (t.op == KITE_CHAR_OP_ESCAPE) {
                *c->w++ = static_cast<char>(t.dest);
                c->r += 2;
                ++c->count;
                return;
            }
        }
        *c->w++ = '\\';
    } else if (unescape[ch].op == KITE_CHAR_OP_REPLACE) {
        *c->w++ = static_cast<char>(unescape[ch].dest);
        ++c->count;
    } else {
        *c->w++ = static_cast<char>(ch);
    }
    ++c->r;
}

// Vector part of the unescaping: runs of bytes that are neither a backslash
// nor a replaced byte move 32 at a time.  While the write position trails
// the read position by less than a vector, a whole vector is stored only
// when the run fills it, because the store would otherwise overwrite input
// not read yet.  Once it trails by a vector or more (after 32 sequences,
// that is for nearly all of a long text) every vector is stored whole at
// once: bytes past the run are written below the read position, where the
// following steps overwrite them, so a sequence costs no copy call.
__attribute__((target("avx2"))) void unescape_vector(
    const KiteCharTarget *unescape, const ByteSet &set, UnescapeCursor *c)
{
    const VectorSet s = load_set(set);
    while (c->end - c->r >= kVectorBytes) {
        const __m256i v =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(c->r));
        const unsigned mask = member_mask(v, s);
        // Far behind, and far enough from the end that the result (at least
        // half the bytes left) covers the whole store: the bytes past the
        // result keep their old contents, as on the byte-by-byte path.
        const bool far_behind =
            c->r - c->w >= kVectorBytes && c->end - c->r >= 2 * kVectorBytes;
        if (mask == 0 || far_behind) {
            if (c->w != c->r)
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(c->w), v);
            if (mask == 0) {
                c->r += kVectorBytes;
                c->w += kVectorBytes;
                continue;
            }
        }
        const unsigned n = __builtin_ctz(mask);
        if (!far_behind && c->w != c->r) memmove(c->w, c->r, n);
        c->r += n;
        c->w += n;
        unescape_one(unescape, c);
    }
}

int init_with_table(KiteCharConverter *pCharConverter,
                    const uint8_t (*pairs)[2], int count, unsigned int op)
{
    KiteCharPair charPairs[8];
    for (int i = 0; i < count; ++i) {
        charPairs[i].src = pairs[i][0];
        charPairs[i].dest = pairs[i][1];
    }
    return char_converter_init_ex(pCharConverter, charPairs, count, op);
}

}  // namespace

extern "C" {

KT_API int char_converter_init_ex(KiteCharConverter *pCharConverter,
                                  const KiteCharPair *charPairs,
                                  const int count, const unsigned int op)
{
    if (count > KITE_CHAR_CONVERTER_MAX_PAIRS) {
        logError("count: %d is too large, exceeds %d!", count,
                 KITE_CHAR_CONVERTER_MAX_PAIRS);
        return EINVAL;
    }
    memset(pCharConverter, 0, sizeof(KiteCharConverter));
    pCharConverter->count = count;
    const uint8_t op_code = static_cast<uint8_t>(op);
    for (int i = 0; i < count; ++i) {
        const KiteCharPair pair = charPairs[i];
        pCharConverter->char_table[pair.src] =
            KiteCharTarget{op_code, pair.dest};
        pCharConverter->unescape_chars[pair.dest] =
            KiteCharTarget{op_code, pair.src};
    }
    return 0;
}

KT_API int std_space_char_converter_init(KiteCharConverter *pCharConverter,
                                         const unsigned char dest_base)
{
    const uint8_t sources[7] = {'\0', '\t', '\n', '\v', '\f', '\r', ' '};
    uint8_t pairs[7][2];
    for (int i = 0; i < 7; ++i) {
        pairs[i][0] = sources[i];
        pairs[i][1] = static_cast<uint8_t>(dest_base + i);
    }
    return init_with_table(pCharConverter, pairs, 7, KITE_CHAR_OP_REPLACE);
}

KT_API int std_spaces_add_backslash_converter_init(
    KiteCharConverter *pCharConverter)
{
    static const uint8_t pairs[8][2] = {{'\0', '0'}, {'\t', 't'}, {'\n', 'n'},
                                        {'\v', 'v'}, {'\f', 'f'}, {'\r', 'r'},
                                        {' ', 's'},  {'\\', '\\'}};
    return init_with_table(pCharConverter, pairs, 8, KITE_CHAR_OP_ESCAPE);
}

KT_API void char_converter_set_pair_ex(KiteCharConverter *pCharConverter,
                                       const unsigned char src,
                                       const unsigned int op,
                                       const unsigned char dest)
{
    KiteCharTarget *target = &pCharConverter->char_table[src];
    if (op != KITE_CHAR_OP_COPY && target->op == KITE_CHAR_OP_COPY) {
        ++pCharConverter->count;
    } else if (op == KITE_CHAR_OP_COPY && target->op != KITE_CHAR_OP_COPY) {
        --pCharConverter->count;
    }
    *target = KiteCharTarget{static_cast<uint8_t>(op), dest};
}

KT_API void char_converter_set_pair(KiteCharConverter *pCharConverter,
                                    const unsigned char src,
                                    const unsigned char dest)
{
    char_converter_set_pair_ex(pCharConverter, src, KITE_CHAR_OP_REPLACE, dest);
}

KT_API int kite_char_convert(KiteCharConverter *pCharConverter,
                             const char *input, const int input_len,
                             char *output, int *out_len, const int out_size)
{
    const uint8_t *in = reinterpret_cast<const uint8_t *>(input);
    const int limit = out_size < input_len ? out_size : input_len;
    ConvertCursor c{in, in + (limit > 0 ? limit : 0), output, 0};
    const KiteCharTarget *table = pCharConverter->char_table;
    ByteSet set;
    bool set_built = false;
    if (first_pass(table, &c, &set, &set_built)) {
        second_pass(table, &c, &set, set_built, output, out_size);
    }
    *out_len = static_cast<int>(c.out - output);
    return c.count;
}

KT_API int kite_char_unescape(KiteCharConverter *pCharConverter, char *str,
                              int *len)
{
    if (*len <= 0) return 0;
    char *first = static_cast<char *>(memchr(str, '\\', *len));
    if (first == nullptr) return 0;
    const KiteCharTarget *unescape = pCharConverter->unescape_chars;
    UnescapeCursor c{first, str + *len, first, 0};
    if (c.end - c.r >= kVectorMinBytes && has_avx2()) {
        const ByteSet set = build_byte_set([unescape](int b) {
            return b == '\\' || unescape[b].op == KITE_CHAR_OP_REPLACE;
        });
        unescape_vector(unescape, set, &c);
    }
    while (c.r < c.end) unescape_one(unescape, &c);
    *len = static_cast<int>(c.w - str);
    return c.count;
}

}  // extern "C"
