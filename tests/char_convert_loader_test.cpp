#include "char_convert_loader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

IniItem Item(const std::string &name, const std::string &value)
{
    IniItem item;
    memset(&item, 0, sizeof(item));
    strncpy(item.name, name.c_str(), sizeof(item.name) - 1);
    strncpy(item.value, value.c_str(), sizeof(item.value) - 1);
    return item;
}

KiteCharConverter Empty()
{
    KiteCharConverter conv;
    EXPECT_EQ(char_convert_loader_init(&conv, nullptr, 0), 0);
    return conv;
}

// Sets one rule on an empty converter; returns the result and, through
// message, the last logged text without its prefix.
int SetPair(KiteCharConverter *conv, const char *src, const char *dest,
            std::string *message = nullptr)
{
    kite_test::LogCapture log;
    const int result = char_convert_loader_set_pair(conv, src, dest);
    if (message != nullptr) {
        const std::string last = log.last();
        const size_t start = last.find(", ", last.find(", line: ") + 1);
        *message = start == std::string::npos ? last : last.substr(start + 2);
        EXPECT_EQ(last.rfind("file: char_convert_loader.cpp, line: ", 0), 0u)
            << last;
    }
    return result;
}

const char kHexFormat[] =
    ", correct format: \\x##, ## for hex digital. eg. \\x20 for the SPACE "
    "char";

}  // namespace

TEST(CharConvertLoaderTest, ReplacementRules)
{
    KiteCharConverter conv = Empty();
    EXPECT_EQ(SetPair(&conv, "\\t", "\\s"), 0);
    EXPECT_EQ(conv.char_table[(uint8_t)'\t'].op, KITE_CHAR_OP_REPLACE);
    EXPECT_EQ(conv.char_table[(uint8_t)'\t'].dest, ' ');
    EXPECT_EQ(conv.count, 1);
    EXPECT_EQ(SetPair(&conv, "\\x41", "\\"), 0);
    EXPECT_EQ(conv.char_table[(uint8_t)'A'].dest, '\\');
    EXPECT_EQ(SetPair(&conv, "\"", "\\x22"), 0);
    EXPECT_EQ(conv.char_table[(uint8_t)'"'].dest, '"');
    EXPECT_EQ(SetPair(&conv, "\\xfF", "\\xA0"), 0);
    EXPECT_EQ(conv.char_table[0xff].dest, 0xa0);
    // The unescape table stays empty for loaded rules.
    for (int b = 0; b < 256; ++b) ASSERT_EQ(conv.unescape_chars[b].op, 0);
}

TEST(CharConvertLoaderTest, EveryTwoCharacterForm)
{
    const std::pair<const char *, int> forms[] = {
        {"\\0", 0},  {"\\\\", 92}, {"\\a", 7},  {"\\b", 8}, {"\\f", 12},
        {"\\n", 10}, {"\\r", 13},  {"\\s", 32}, {"\\t", 9}, {"\\v", 11}};
    for (const auto &[text, byte] : forms) {
        KiteCharConverter conv = Empty();
        ASSERT_EQ(SetPair(&conv, "x", text), 0) << text;
        EXPECT_EQ(conv.char_table[(uint8_t)'x'].dest, byte) << text;
        ASSERT_EQ(SetPair(&conv, text, "y"), 0) << text;
        EXPECT_EQ(conv.char_table[byte].dest, 'y') << text;
    }
}

TEST(CharConvertLoaderTest, EscapingRuleConvertsToBackslashAndLetter)
{
    KiteCharConverter conv = Empty();
    EXPECT_EQ(SetPair(&conv, "\\t", "\"\\t\""), 0);
    EXPECT_EQ(conv.char_table[(uint8_t)'\t'].op, KITE_CHAR_OP_ESCAPE);
    EXPECT_EQ(conv.char_table[(uint8_t)'\t'].dest, 't');
    EXPECT_EQ(SetPair(&conv, "q", "\"\\\"\""), 0);  // the letter may be a quote
    char out[16];
    int out_len = 0;
    EXPECT_EQ(kite_char_convert(&conv, "a\tq", 3, out, &out_len, sizeof(out)),
              2);
    EXPECT_EQ(std::string(out, out_len), "a\\t\\\"");
}

TEST(CharConvertLoaderTest, InvalidCharStrings)
{
    KiteCharConverter conv = Empty();
    std::string message;
    EXPECT_EQ(SetPair(&conv, "\\q", "x", &message), EINVAL);
    EXPECT_EQ(message, "invalid char string: \\q");
    EXPECT_EQ(SetPair(&conv, "ab", "x", &message), EINVAL);
    EXPECT_EQ(message, "invalid char string: ab");
    EXPECT_EQ(SetPair(&conv, "x", "zz", &message), EINVAL);
    EXPECT_EQ(message, "invalid char string: zz");
    for (const char *bad : {"\\x4g", "\\X41", "\\x4", "\\x411", "\\y41"}) {
        EXPECT_EQ(SetPair(&conv, bad, "x", &message), EINVAL) << bad;
        EXPECT_EQ(message,
                  std::string("invalid char string: ") + bad + kHexFormat);
    }
    EXPECT_EQ(conv.count, 0);
}

TEST(CharConvertLoaderTest, EmptyTextsAndBadEscapeTargets)
{
    KiteCharConverter conv = Empty();
    std::string message;
    EXPECT_EQ(SetPair(&conv, "", "x", &message), EINVAL);
    EXPECT_EQ(message, "empty src string");
    EXPECT_EQ(SetPair(&conv, nullptr, "x", &message), EINVAL);
    EXPECT_EQ(message, "empty src string");
    EXPECT_EQ(SetPair(&conv, "\\t", "", &message), EINVAL);
    EXPECT_EQ(message, "empty dest string, src string: \\t");
    EXPECT_EQ(SetPair(&conv, "a", nullptr, &message), EINVAL);
    EXPECT_EQ(message, "empty dest string, src string: a");
    for (const char *bad : {"\"", "\"\\t", "\"\\tt\"", "\"x t\"", "\"\\t'"}) {
        EXPECT_EQ(SetPair(&conv, "a", bad, &message), EINVAL) << bad;
        EXPECT_EQ(message, std::string("invalid dest string: ") + bad +
                               ", correct format: \"\\c\", eg. \"\\t\"");
    }
    // A bad source is reported before the target is looked at.
    EXPECT_EQ(SetPair(&conv, "\\q", "", &message), EINVAL);
    EXPECT_EQ(message, "empty dest string, src string: \\q");
    EXPECT_EQ(SetPair(&conv, "\\q", "\"", &message), EINVAL);
    EXPECT_EQ(message, "invalid char string: \\q");
    EXPECT_EQ(conv.count, 0);
}

TEST(CharConvertLoaderTest, AddStopsAtFirstInvalidItem)
{
    kite_test::LogCapture log;
    const IniItem items[] = {Item("a", "b"), Item("\\q", "c"), Item("d", "e")};
    KiteCharConverter conv;
    EXPECT_EQ(char_convert_loader_init(&conv, items, 3), EINVAL);
    EXPECT_EQ(conv.char_table[(uint8_t)'a'].dest, 'b');
    EXPECT_EQ(conv.char_table[(uint8_t)'d'].op, 0);
    EXPECT_EQ(conv.count, 1);
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(char_convert_loader_add(&conv, items + 2, 1), 0);
    EXPECT_EQ(conv.char_table[(uint8_t)'d'].dest, 'e');
    EXPECT_EQ(char_convert_loader_add(&conv, items, -1), 0);
    // Null items with a positive count are refused, not read.
    log.clear();
    EXPECT_EQ(char_convert_loader_add(&conv, nullptr, 2), EINVAL);
    EXPECT_EQ(char_convert_loader_init(&conv, nullptr, 1), EINVAL);
    EXPECT_EQ(conv.count, 0);
    EXPECT_EQ(char_convert_loader_init(&conv, nullptr, 0), 0);
    EXPECT_TRUE(log.contains("null items, count: 2"));
}

TEST(CharConvertLoaderTest, InitEmptiesAndLaterRulesReplaceEarlier)
{
    KiteCharConverter conv;
    ASSERT_EQ(std_spaces_add_backslash_converter_init(&conv), 0);
    const IniItem items[] = {Item("\\s", "_"), Item("\\s", "\"\\s\""),
                             Item("\\x20", "+")};
    EXPECT_EQ(char_convert_loader_init(&conv, items, 3), 0);
    EXPECT_EQ(conv.count, 1);
    EXPECT_EQ(conv.char_table[(uint8_t)' '].op, KITE_CHAR_OP_REPLACE);
    EXPECT_EQ(conv.char_table[(uint8_t)' '].dest, '+');
    EXPECT_EQ(conv.char_table[(uint8_t)'\\'].op, 0);
    EXPECT_EQ(conv.unescape_chars[(uint8_t)'s'].op, 0);
    EXPECT_EQ(char_convert_loader_init(&conv, items, 0), 0);
    for (int b = 0; b < 256; ++b) ASSERT_EQ(conv.char_table[b].op, 0);
    EXPECT_EQ(conv.count, 0);
}
