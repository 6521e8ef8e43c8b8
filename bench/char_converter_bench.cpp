// kite_char_convert with the whitespace-escaping converter on 64 MiB of
// text, with no byte to escape and with 5% whitespace, against a plain
// 256-entry table loop doing the same conversion and against memcpy (the
// bandwidth limit); and kite_char_unescape of that converted text (5% of
// its source bytes escaped) against the plain table loop of unescaping.
// Rates are input bytes per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "char_converter.h"

namespace {

constexpr size_t kTextBytes = 64u << 20;

// Printable text; with whitespace_percent > 0 that share of bytes becomes
// a space, tab or line feed.
std::string MakeText(int whitespace_percent)
{
    static const char kPlain[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,;:-_";
    static const char kSpace[] = " \t\n";
    std::mt19937 rng(7);
    std::string text(kTextBytes, ' ');
    for (char &c : text) {
        c = (int)(rng() % 100) < whitespace_percent
                ? kSpace[rng() % 3]
                : kPlain[rng() % (sizeof(kPlain) - 1)];
    }
    return text;
}

const std::string &Text(int whitespace_percent)
{
    static const std::string plain = MakeText(0);
    static const std::string spaced = MakeText(5);
    return whitespace_percent == 0 ? plain : spaced;
}

std::vector<char> &Output()
{
    static std::vector<char> out(2 * kTextBytes + 1);
    return out;
}

void BM_CharConverter_Convert(benchmark::State &state)
{
    const std::string &text = Text(static_cast<int>(state.range(0)));
    KiteCharConverter conv;
    std_spaces_add_backslash_converter_init(&conv);
    std::vector<char> &out = Output();
    for (auto _ : state) {
        int out_len = 0;
        benchmark::DoNotOptimize(kite_char_convert(&conv, text.data(),
                                                   (int)text.size(), out.data(),
                                                   &out_len, (int)out.size()));
        benchmark::DoNotOptimize(out_len);
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_CharConverter_Convert)
    ->Arg(0)
    ->Arg(5)
    ->Unit(benchmark::kMillisecond);

// The straightforward conversion: one table lookup and one branch per byte.
int TableLoop(const KiteCharConverter &conv, const char *in, int len, char *out,
              int *out_len)
{
    const KiteCharTarget *table = conv.char_table;
    char *o = out;
    int count = 0;
    for (int i = 0; i < len; ++i) {
        const KiteCharTarget t = table[(unsigned char)in[i]];
        if (t.op == 0) {
            *o++ = in[i];
            continue;
        }
        if (t.op == 1) *o++ = '\\';
        *o++ = (char)t.dest;
        ++count;
    }
    *out_len = (int)(o - out);
    return count;
}

void BM_TableLoop_Convert(benchmark::State &state)
{
    const std::string &text = Text(static_cast<int>(state.range(0)));
    KiteCharConverter conv;
    std_spaces_add_backslash_converter_init(&conv);
    std::vector<char> &out = Output();
    for (auto _ : state) {
        int out_len = 0;
        benchmark::DoNotOptimize(TableLoop(conv, text.data(), (int)text.size(),
                                           out.data(), &out_len));
        benchmark::DoNotOptimize(out_len);
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_TableLoop_Convert)->Arg(0)->Arg(5)->Unit(benchmark::kMillisecond);

// The text of Text(whitespace_percent) after the escaping conversion.
const std::string &Escaped(int whitespace_percent)
{
    static std::string escaped[2];
    std::string &e = escaped[whitespace_percent != 0];
    if (e.empty()) {
        const std::string &text = Text(whitespace_percent);
        KiteCharConverter conv;
        std_spaces_add_backslash_converter_init(&conv);
        std::vector<char> &out = Output();
        int out_len = 0;
        kite_char_convert(&conv, text.data(), (int)text.size(), out.data(),
                          &out_len, (int)out.size());
        e.assign(out.data(), out_len);
    }
    return e;
}

// The straightforward unescaping, from the first backslash on: one table
// lookup and one branch per byte.
int TableLoopUnescape(const KiteCharConverter &conv, char *str, int *len)
{
    char *r = static_cast<char *>(memchr(str, '\\', *len));
    if (r == nullptr) return 0;
    const KiteCharTarget *table = conv.unescape_chars;
    char *end = str + *len;
    char *w = r;
    int count = 0;
    while (r < end) {
        const unsigned char c = (unsigned char)*r;
        if (c == '\\' && r + 1 < end && table[(unsigned char)r[1]].op == 1) {
            *w++ = (char)table[(unsigned char)r[1]].dest;
            r += 2;
            ++count;
        } else if (c != '\\' && table[c].op == 2) {
            *w++ = (char)table[c].dest;
            ++r;
            ++count;
        } else {
            *w++ = *r++;
        }
    }
    *len = (int)(w - str);
    return count;
}

// Unescapes a fresh copy of the escaped text each iteration (the copy is
// not timed).
template <typename UnescapeFn>
void MeasureUnescape(benchmark::State &state, UnescapeFn unescape)
{
    const std::string &text = Escaped(static_cast<int>(state.range(0)));
    KiteCharConverter conv;
    std_spaces_add_backslash_converter_init(&conv);
    std::vector<char> &buffer = Output();
    for (auto _ : state) {
        state.PauseTiming();
        memcpy(buffer.data(), text.data(), text.size());
        state.ResumeTiming();
        int len = (int)text.size();
        benchmark::DoNotOptimize(unescape(conv, buffer.data(), &len));
        benchmark::DoNotOptimize(len);
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}

void BM_CharConverter_Unescape(benchmark::State &state)
{
    MeasureUnescape(state, [](KiteCharConverter &conv, char *str, int *len) {
        return kite_char_unescape(&conv, str, len);
    });
}
BENCHMARK(BM_CharConverter_Unescape)->Arg(5)->Unit(benchmark::kMillisecond);

void BM_TableLoop_Unescape(benchmark::State &state)
{
    MeasureUnescape(state, [](KiteCharConverter &conv, char *str, int *len) {
        return TableLoopUnescape(conv, str, len);
    });
}
BENCHMARK(BM_TableLoop_Unescape)->Arg(5)->Unit(benchmark::kMillisecond);

void BM_Memcpy_Convert(benchmark::State &state)
{
    const std::string &text = Text(static_cast<int>(state.range(0)));
    std::vector<char> &out = Output();
    for (auto _ : state) {
        memcpy(out.data(), text.data(), text.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_Memcpy_Convert)->Arg(0)->Arg(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
