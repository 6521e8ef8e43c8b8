// Fuzzes kite_char_convert and kite_char_unescape.  The first bytes choose
// a converter (the escaping one, the replacing one, or pairs taken from the
// input) and an output size; the rest is the text.  Properties: the output
// never exceeds out_size (the buffer is exactly that big), both functions
// agree with the plain byte loops, and with the escaping converter and
// enough room, unescaping the output gives the text back.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "char_converter.h"
#include "logger.h"

namespace {

void Check(bool ok)
{
    if (!ok) abort();
}

std::string ReferenceConvert(const KiteCharConverter &conv,
                             const std::string &in, int out_size, int *count)
{
    std::string out;
    *count = 0;
    const size_t end = std::min<size_t>(in.size(), std::max(out_size, 0));
    bool escaping = false;
    for (size_t i = 0; i < end; ++i) {
        const KiteCharTarget t = conv.char_table[(unsigned char)in[i]];
        escaping = escaping || t.op == KITE_CHAR_OP_ESCAPE;
        if (escaping && (int)out.size() >= out_size - 1) break;
        if (t.op == KITE_CHAR_OP_ESCAPE) out += '\\';
        out += t.op == KITE_CHAR_OP_COPY ? in[i] : (char)t.dest;
        *count += t.op != KITE_CHAR_OP_COPY;
    }
    return out;
}

std::string ReferenceUnescape(const KiteCharConverter &conv,
                              const std::string &in, int *count)
{
    *count = 0;
    const size_t first = in.find('\\');
    if (first == std::string::npos) return in;
    std::string out = in.substr(0, first);
    for (size_t i = first; i < in.size(); ++i) {
        const unsigned char c = in[i];
        const KiteCharTarget *u = conv.unescape_chars;
        if (c == '\\' && i + 1 < in.size() &&
            u[(unsigned char)in[i + 1]].op == KITE_CHAR_OP_ESCAPE) {
            out += (char)u[(unsigned char)in[++i]].dest;
            ++*count;
        } else if (c != '\\' && u[c].op == KITE_CHAR_OP_REPLACE) {
            out += (char)u[c].dest;
            ++*count;
        } else {
            out += (char)c;
        }
    }
    return out;
}

// Builds the converter chosen by the first input bytes; returns the number
// of bytes used.
size_t MakeConverter(const uint8_t *data, size_t size, KiteCharConverter *conv)
{
    const int mode = data[0] % 3;
    if (mode == 0) {
        std_spaces_add_backslash_converter_init(conv);
        return 1;
    }
    if (mode == 1) {
        std_space_char_converter_init(conv, data[1]);
        return 2;
    }
    const size_t n = std::min<size_t>(data[1] % 16, (size - 3) / 2);
    std::vector<KiteCharPair> pairs(n);
    for (size_t i = 0; i < n; ++i)
        pairs[i] = {data[3 + 2 * i], data[4 + 2 * i]};
    Check(char_converter_init_ex(conv, pairs.data(), (int)n, 1 + data[2] % 2) ==
          0);
    return 3 + 2 * n;
}

void Discard(int, const char *, int, void *) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (kt_log_set_sink(Discard, nullptr), true);
    (void)quiet;
    if (size < 8) return 0;
    KiteCharConverter conv;
    size_t used = MakeConverter(data, size, &conv);
    if (used + 2 > size) return 0;
    const int size_code = data[used] | (data[used + 1] << 8);
    used += 2;
    const std::string text(reinterpret_cast<const char *>(data) + used,
                           size - used);
    // size_code 0xFFFF asks for room for every byte escaped.
    const int out_size =
        size_code == 0xFFFF ? 2 * (int)text.size() + 1 : size_code % 4096;
    std::vector<char> input(text.begin(), text.end());
    char *output = static_cast<char *>(malloc(out_size > 0 ? out_size : 1));
    int out_len = -1;
    const int count = kite_char_convert(&conv, input.data(), (int)input.size(),
                                        output, &out_len, out_size);
    Check(out_len >= 0 && out_len <= out_size);
    int want_count;
    const std::string want =
        ReferenceConvert(conv, text, out_size, &want_count);
    Check(std::string(output, out_len) == want && count == want_count);
    if (data[0] % 3 == 0 && size_code == 0xFFFF) {
        int len = out_len;
        const int back = kite_char_unescape(&conv, output, &len);
        Check(std::string(output, len) == text && back == count);
    }
    free(output);
    int ref_count;
    const std::string ref = ReferenceUnescape(conv, text, &ref_count);
    int len = (int)input.size();
    const int got = kite_char_unescape(&conv, input.data(), &len);
    Check(std::string(input.data(), len) == ref && got == ref_count);
    return 0;
}
