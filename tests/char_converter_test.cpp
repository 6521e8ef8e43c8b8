#include "char_converter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct Converted {
    std::string out;
    int count;
};

// Converts through an output buffer of exactly out_size bytes (heap, so the
// sanitizers see any write past it) from an exactly sized input copy.
Converted Convert(KiteCharConverter *conv, const std::string &in, int out_size,
                  int input_len = -1)
{
    std::vector<char> input(in.begin(), in.end());
    std::vector<char> output(out_size > 0 ? out_size : 0);
    int out_len = -1;
    const int count = kite_char_convert(
        conv, input.data(), input_len < 0 ? (int)in.size() : input_len,
        output.data(), &out_len, out_size);
    EXPECT_GE(out_len, 0);
    EXPECT_LE(out_len, out_size > 0 ? out_size : 0);
    return {std::string(output.data(), out_len), count};
}

Converted Unescape(KiteCharConverter *conv, const std::string &text)
{
    std::vector<char> buf(text.begin(), text.end());
    int len = (int)buf.size();
    const int count = kite_char_unescape(conv, buf.data(), &len);
    // The bytes past the result keep their old contents.
    EXPECT_EQ(std::string(buf.begin() + len, buf.end()), text.substr(len));
    return {std::string(buf.data(), len), count};
}

KiteCharConverter Escaper()
{
    KiteCharConverter conv;
    EXPECT_EQ(std_spaces_add_backslash_converter_init(&conv), 0);
    return conv;
}

// The conversion as the plain byte loop does it; the library skips runs of
// rule-free bytes with vector code and must agree byte for byte.
Converted ReferenceConvert(const KiteCharConverter &conv, const std::string &in,
                           int out_size)
{
    std::string out;
    int count = 0;
    size_t end = std::min<size_t>(in.size(), out_size > 0 ? out_size : 0);
    bool escaping = false;
    for (size_t i = 0; i < end; ++i) {
        const KiteCharTarget t = conv.char_table[(unsigned char)in[i]];
        escaping = escaping || t.op == 1;
        if (escaping && (int)out.size() >= out_size - 1) break;
        if (t.op == 1) out += '\\';
        out += t.op == 0 ? in[i] : (char)t.dest;
        count += t.op != 0;
    }
    return {out, count};
}

Converted ReferenceUnescape(const KiteCharConverter &conv,
                            const std::string &in)
{
    const size_t first = in.find('\\');
    if (first == std::string::npos) return {in, 0};
    std::string out = in.substr(0, first);
    int count = 0;
    for (size_t i = first; i < in.size(); ++i) {
        const unsigned char c = in[i];
        if (c == '\\' && i + 1 < in.size() &&
            conv.unescape_chars[(unsigned char)in[i + 1]].op == 1) {
            out += (char)conv.unescape_chars[(unsigned char)in[++i]].dest;
            ++count;
        } else if (c != '\\' && conv.unescape_chars[c].op == 2) {
            out += (char)conv.unescape_chars[c].dest;
            ++count;
        } else {
            out += (char)c;
        }
    }
    return {out, count};
}

}  // namespace

TEST(CharConverterTest, InitRejectsMoreThan256Pairs)
{
    kite_test::LogCapture log;
    std::vector<KiteCharPair> pairs(257);
    for (int i = 0; i < 257; ++i) pairs[i] = {(uint8_t)i, (uint8_t)(255 - i)};
    KiteCharConverter conv;
    memset(&conv, 0x33, sizeof(conv));
    EXPECT_EQ(char_converter_init_ex(&conv, pairs.data(), 257, 2), EINVAL);
    const std::string message = log.last();
    EXPECT_EQ(message.rfind("file: char_converter.cpp, line: ", 0), 0u);
    EXPECT_NE(message.find(", count: 257 is too large, exceeds 256!"),
              std::string::npos);
    EXPECT_EQ(conv.count, 0x33333333);  // untouched
    EXPECT_EQ(char_converter_init_ex(&conv, pairs.data(), 256, 2), 0);
    EXPECT_EQ(conv.count, 256);
    EXPECT_EQ(conv.char_table[0].op, 2);
    EXPECT_EQ(conv.char_table[0].dest, 255);
    EXPECT_EQ(conv.unescape_chars[255].dest, 0);
}

TEST(CharConverterTest, InitClearsAndLaterPairsOverwrite)
{
    KiteCharConverter conv;
    memset(&conv, 0x77, sizeof(conv));
    const KiteCharPair pairs[] = {{'a', 'x'}, {'a', 'y'}, {'b', 'y'}};
    EXPECT_EQ(char_converter_init(&conv, pairs, 3), 0);
    EXPECT_EQ(conv.count, 3);  // every pair given is counted
    EXPECT_EQ(conv.char_table[(uint8_t)'a'].dest, 'y');
    EXPECT_EQ(conv.char_table[(uint8_t)'b'].op, 2);
    EXPECT_EQ(conv.unescape_chars[(uint8_t)'y'].dest, 'b');
    EXPECT_EQ(conv.unescape_chars[(uint8_t)'x'].dest, 'a');
    EXPECT_EQ(conv.char_table[(uint8_t)'c'].op, 0);
    EXPECT_EQ(conv.char_table[(uint8_t)'c'].dest, 0);
    EXPECT_EQ(char_converter_init(&conv, nullptr, 0), 0);
    for (int b = 0; b < 256; ++b) {
        ASSERT_EQ(conv.char_table[b].op, 0);
        ASSERT_EQ(conv.unescape_chars[b].op, 0);
    }
}

TEST(CharConverterTest, StdSpaceConverterReplacesWithDestBase)
{
    KiteCharConverter conv;
    EXPECT_EQ(std_space_char_converter_init(&conv, 0x80), 0);
    EXPECT_EQ(conv.count, 7);
    const Converted c = Convert(&conv, std::string(" \0\t\n\v\f\rz", 8), 8);
    EXPECT_EQ(c.out, "\x86\x80\x81\x82\x83\x84\x85z");
    EXPECT_EQ(c.count, 7);
    // Without a backslash, unescaping leaves replaced bytes alone.
    EXPECT_EQ(Unescape(&conv, c.out).out, c.out);
    EXPECT_EQ(Unescape(&conv, c.out).count, 0);
    // After the first backslash they are turned back.
    EXPECT_EQ(Unescape(&conv, "\x86\\\x86\x80").out,
              std::string("\x86\\ \0", 4));
    EXPECT_EQ(std_space_char_converter_init(&conv, 0xfd), 0);
    EXPECT_EQ(conv.char_table[(uint8_t)' '].dest, 0x03);  // modulo 256
}

TEST(CharConverterTest, BackslashConverterEscapesAndUnescapes)
{
    KiteCharConverter conv = Escaper();
    EXPECT_EQ(conv.count, 8);
    const Converted c = Convert(&conv, "a\tb", 5);
    EXPECT_EQ(c.out, "a\\tb");
    EXPECT_EQ(c.count, 1);
    const Converted u = Unescape(&conv, c.out);
    EXPECT_EQ(u.out, "a\tb");
    EXPECT_EQ(u.count, 1);
    EXPECT_EQ(Convert(&conv, "\\", 2).out, "\\\\");
    EXPECT_EQ(Unescape(&conv, "\\\\").out, "\\");
    EXPECT_EQ(Convert(&conv, std::string("\0\v\f\r \n", 6), 20).out,
              "\\0\\v\\f\\r\\s\\n");
}

TEST(CharConverterTest, EscapingPassNeedsTwoFreeBytes)
{
    kite_test::LogCapture log;
    KiteCharConverter conv = Escaper();
    const Converted c = Convert(&conv, "a\tb", 4);
    EXPECT_EQ(c.out, "a\\t");
    EXPECT_EQ(c.count, 1);
    EXPECT_TRUE(log.contains("exceeds max size: 4"));
    EXPECT_EQ(log.records().back().level, 4);  // warning
    log.clear();
    const Converted none = Convert(&conv, "\tb", 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.count, 0);
    EXPECT_TRUE(log.contains("exceeds max size: 1"));
    log.clear();
    // Filling the output exactly at the input end is no overflow.
    EXPECT_EQ(Convert(&conv, "\tb", 4).out, "\\tb");
    EXPECT_EQ(log.size(), 0u);
}

TEST(CharConverterTest, InputBeyondOutSizeIsNeverRead)
{
    kite_test::LogCapture log;
    KiteCharConverter conv = Escaper();
    const std::string text(100, 'q');
    const Converted c = Convert(&conv, text, 50);
    EXPECT_EQ(c.out, std::string(50, 'q'));
    EXPECT_EQ(log.size(), 0u);
    // Same for a long text on the vector path; the escaped byte sits past the
    // capped input end and is never met.
    std::string longer(1000, 'r');
    longer[700] = '\t';
    EXPECT_EQ(Convert(&conv, longer, 500).out, std::string(500, 'r'));
    EXPECT_EQ(Convert(&conv, "abc", 0).out, "");
    EXPECT_EQ(Convert(&conv, "abc", -5).count, 0);
    EXPECT_EQ(log.size(), 0u);
}

TEST(CharConverterTest, UnescapeLeavesUnknownSequences)
{
    KiteCharConverter conv = Escaper();
    EXPECT_EQ(Unescape(&conv, "ab\\q").out, "ab\\q");
    EXPECT_EQ(Unescape(&conv, "ab\\q").count, 0);
    EXPECT_EQ(Unescape(&conv, "ab\\").out, "ab\\");
    // A backslash without a rule leaves the next byte free to open an escape.
    EXPECT_EQ(Unescape(&conv, "\\q\\\\s").out, "\\q\\s");
    EXPECT_EQ(Unescape(&conv, "\\\\\\s").out, "\\ ");
    EXPECT_EQ(Unescape(&conv, "").count, 0);
}

TEST(CharConverterTest, SetPairKeepsCountAndSkipsUnescapeTable)
{
    KiteCharConverter conv = Escaper();
    char_converter_set_pair_ex(&conv, '\t', 0, 0);
    EXPECT_EQ(conv.count, 7);
    char_converter_set_pair_ex(&conv, ' ', 2, '_');
    EXPECT_EQ(conv.count, 7);  // replaced an existing rule
    char_converter_set_pair(&conv, 'x', 'y');
    EXPECT_EQ(conv.count, 8);
    EXPECT_EQ(conv.char_table[(uint8_t)'x'].op, 2);
    char_converter_set_pair_ex(&conv, 'z', 0, 0);
    EXPECT_EQ(conv.count, 8);  // removing a missing rule changes nothing
    EXPECT_EQ(Convert(&conv, "x \t", 10).out, "y_\t");
    EXPECT_EQ(conv.unescape_chars[(uint8_t)'y'].op, 0);
    EXPECT_EQ(Unescape(&conv, "\\y").out, "\\y");
}

// Escaping then unescaping gives the input back when the output has room,
// for short texts (plain loop) and long ones (vector loop).
TEST(CharConverterTest, EscapeThenUnescapeRoundTrips)
{
    KiteCharConverter conv = Escaper();
    auto &rng = kite_test::Rng();
    static const char kSpecial[] = {'\0', '\t', '\n', '\v', '\f',
                                    '\r', ' ',  '\\', 's',  't'};
    for (int round = 0; round < 300; ++round) {
        std::string text = kite_test::RandomBytes(rng() % 600);
        const unsigned density = 1 + rng() % 40;
        for (char &c : text) {
            if (rng() % density == 0) c = kSpecial[rng() % sizeof(kSpecial)];
        }
        const Converted c = Convert(&conv, text, 2 * (int)text.size() + 1);
        const Converted u = Unescape(&conv, c.out);
        ASSERT_EQ(u.out, text);
        ASSERT_EQ(u.count, c.count);
    }
}

// Random converters, texts and output sizes: the conversion and the
// unescaping agree with the plain byte loops, room checks included.
TEST(CharConverterTest, MatchesPlainLoopOnRandomConverters)
{
    kite_test::LogCapture log;
    auto &rng = kite_test::Rng();
    for (int round = 0; round < 300; ++round) {
        std::vector<KiteCharPair> pairs(rng() % 12);
        for (auto &p : pairs) p = {(uint8_t)rng(), (uint8_t)rng()};
        KiteCharConverter conv;
        ASSERT_EQ(char_converter_init_ex(&conv, pairs.data(), (int)pairs.size(),
                                         1 + rng() % 2),
                  0);
        if (rng() % 2) char_converter_set_pair(&conv, (uint8_t)rng(), 'R');
        // Printable text, so that only the planted bytes tend to have rules;
        // sparse and dense plantings both occur.
        // Every tenth text is long enough for the vector loops' later stages
        // (64-byte escaping blocks, unescaping far behind the read position).
        std::string text(rng() % (round % 10 == 0 ? 5000 : 700), 'x');
        const unsigned density = 1 + rng() % 64;
        for (char &c : text) {
            c = (char)(' ' + rng() % 95);
            if (!pairs.empty() && rng() % density == 0) {
                c = pairs[rng() % pairs.size()].src;
            }
            if (rng() % (4 * density) == 0) c = '\\';
        }
        const int out_size = (int)(rng() % (2 * text.size() + 2));
        const Converted got = Convert(&conv, text, out_size);
        const Converted want = ReferenceConvert(conv, text, out_size);
        ASSERT_EQ(got.out, want.out) << "round " << round;
        ASSERT_EQ(got.count, want.count);
        const Converted u = Unescape(&conv, text);
        const Converted ref = ReferenceUnescape(conv, text);
        ASSERT_EQ(u.out, ref.out) << "round " << round;
        ASSERT_EQ(u.count, ref.count);
    }
}
