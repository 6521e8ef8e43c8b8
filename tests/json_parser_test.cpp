#include "json_parser.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../fuzz/json_fuzz_util.h"
#include "test_util.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The input is copied into a heap block of exactly its size, so that the
// sanitizers catch any read past it.
struct Input {
    explicit Input(const std::string &text)
        : bytes(new char[text.size() + 1]), str{bytes.get(),
                                                static_cast<int32_t>(
                                                    text.size())}
    {
        memcpy(bytes.get(), text.data(), text.size());
    }
    std::unique_ptr<char[]> bytes;
    string_t str;
};

struct ArrayResult {
    int result;
    std::vector<std::string> items;
    std::string error;
};

struct MapResult {
    int result;
    Pairs pairs;
    std::string error;
};

// Checks what every decoded text must satisfy: inside the scratch buffer
// and NUL-terminated.
void ExpectInBuffer(const string_t &s, const char *buff, int32_t buff_size)
{
    ASSERT_GE(s.str, buff);
    ASSERT_LE(s.str + s.len, buff + buff_size - 1);
    EXPECT_EQ(s.str[s.len], '\0');
}

void AppendItem(const string_t &s, const char *buff, int32_t buff_size,
                std::vector<std::string> *out)
{
    ExpectInBuffer(s, buff, buff_size);
    out->emplace_back(s.str, s.len);
}

void AppendItem(const key_value_pair_t &kv, const char *buff, int32_t buff_size,
                Pairs *out)
{
    ExpectInBuffer(kv.key, buff, buff_size);
    ExpectInBuffer(kv.value, buff, buff_size);
    out->emplace_back(std::string(kv.key.str, kv.key.len),
                      std::string(kv.value.str, kv.value.len));
}

// Decodes text into *out; a refused input must leave the record empty.
template <typename Record, typename Out>
int DecodeInto(const std::string &text, Out *out, std::string *error)
{
    Input in(text);
    Record record;
    char error_info[256] = "";
    const int result = json_fuzz::DecodeRecord(&in.str, &record, error_info,
                                               sizeof(error_info));
    *error = error_info;
    if (result != 0) {
        EXPECT_EQ(record.elements, nullptr);
        EXPECT_EQ(record.buff, nullptr);
        EXPECT_EQ(record.count, 0);
        return result;
    }
    EXPECT_EQ(record.element_size,
              static_cast<int32_t>(sizeof(*record.elements)));
    for (int i = 0; i < record.count; ++i) {
        AppendItem(record.elements[i], record.buff, in.str.len - 1, out);
    }
    free_common_array(reinterpret_cast<common_array_t *>(&record));
    return result;
}

ArrayResult DecodeArray(const std::string &text)
{
    ArrayResult r;
    r.result = DecodeInto<json_array_t>(text, &r.items, &r.error);
    return r;
}

MapResult DecodeMap(const std::string &text)
{
    MapResult r;
    r.result = DecodeInto<json_map_t>(text, &r.pairs, &r.error);
    return r;
}

// Encodes a list of strings or pairs; the output must be NUL-terminated
// and released completely.
template <typename List>
std::string EncodeText(const List &items)
{
    string_t out{nullptr, 0};
    char error[64] = "";
    EXPECT_EQ(json_fuzz::Encode(items, &out, error, sizeof(error)), 0);
    std::string text(out.str, out.len);
    EXPECT_EQ(out.str[out.len], '\0');
    free_json_string(&out);
    EXPECT_EQ(out.str, nullptr);
    return text;
}

std::string EncodeArray(const std::vector<std::string> &items)
{
    return EncodeText(items);
}

std::string EncodeMap(const Pairs &pairs)
{
    return EncodeText(pairs);
}

int DetectType(const std::string &text)
{
    string_t s{const_cast<char *>(text.data()), (int32_t)text.size()};
    return detect_json_type(&s);
}

using Items = std::vector<std::string>;

}  // namespace

TEST(JsonParserTest, DetectTypeLooksAtFirstAndLastCharacterOnly)
{
    EXPECT_EQ(DetectType("[x}"), KITE_JSON_TYPE_STRING);
    EXPECT_EQ(DetectType("{}"), KITE_JSON_TYPE_MAP);
    EXPECT_EQ(DetectType("["), KITE_JSON_TYPE_STRING);
    EXPECT_EQ(DetectType(""), KITE_JSON_TYPE_STRING);
    EXPECT_EQ(DetectType("[]"), KITE_JSON_TYPE_ARRAY);
    EXPECT_EQ(DetectType("[ garbage {"), KITE_JSON_TYPE_STRING);
    EXPECT_EQ(DetectType("[,,,]"), KITE_JSON_TYPE_ARRAY);
    EXPECT_EQ(DetectType("{x]"), KITE_JSON_TYPE_STRING);
    EXPECT_EQ(DetectType(" []"), KITE_JSON_TYPE_STRING);
}

TEST(JsonParserTest, FramingErrorsHaveNoExcerpt)
{
    EXPECT_EQ(DecodeArray("").error, "json string is too short");
    EXPECT_EQ(DecodeArray("[").error, "json string is too short");
    EXPECT_EQ(DecodeArray("(a]").error, "json array must start with \"[\"");
    EXPECT_EQ(DecodeArray("[a)").error, "json array must end with \"]\"");
    EXPECT_EQ(DecodeArray(" [a]").error, "json array must start with \"[\"");
    EXPECT_EQ(DecodeArray("[a] ").error, "json array must end with \"]\"");
    EXPECT_EQ(DecodeArray("[a]").result, 0);
    EXPECT_EQ(DecodeMap("{").error, "json string is too short");
    EXPECT_EQ(DecodeMap("[a:b}").error, "json array must start with \"{\"");
    EXPECT_EQ(DecodeMap("{a:b]").error, "json array must end with \"}\"");
    EXPECT_EQ(DecodeMap("{a:b]").result, EINVAL);
}

TEST(JsonParserTest, FailedDecodeClearsRecordWithoutFreeingIt)
{
    // The record's old pointers are dropped, not freed: they may be garbage.
    json_array_t array;
    memset(&array, 0x5a, sizeof(array));
    string_t in{const_cast<char *>("x"), 1};
    char error[64];
    EXPECT_EQ(decode_json_array(&in, &array, error, sizeof(error)), EINVAL);
    EXPECT_EQ(array.elements, nullptr);
    EXPECT_EQ(array.buff, nullptr);
    EXPECT_EQ(array.count, 0);
    EXPECT_EQ(array.alloc, 0);
}

TEST(JsonParserTest, EmptyContainersAndTrailingComma)
{
    // A failed decode leaves no items too: check the result code itself.
    for (const char *text : {"[]", "[ ]"}) {
        EXPECT_EQ(DecodeArray(text).result, 0) << text;
    }
    for (const char *text : {"{}", "{ }"}) {
        EXPECT_EQ(DecodeMap(text).result, 0) << text;
    }
    EXPECT_EQ(DecodeArray("[]").items, Items{});
    EXPECT_EQ(DecodeArray("[ ]").result, 0);
    EXPECT_EQ(DecodeArray("[ \t\r\n ]").items, Items{});
    EXPECT_EQ(DecodeMap("{}").pairs, Pairs{});
    EXPECT_EQ(DecodeMap("{ \n}").pairs, Pairs{});
    EXPECT_EQ(DecodeArray("[a,]").items, Items{"a"});
    EXPECT_EQ(DecodeArray("[ a , ]").items, Items{"a"});
    EXPECT_EQ(DecodeMap("{a:b,}").pairs, (Pairs{{"a", "b"}}));
}

TEST(JsonParserTest, WhitespaceIsExactlyFourCharacters)
{
    EXPECT_EQ(DecodeArray("[\t a\r\n,\n\"b\" ]").items, (Items{"a", "b"}));
    // Vertical tab and form feed are not whitespace.
    EXPECT_EQ(DecodeArray("[\va]").error, "expect comma \",\", input: [");
    EXPECT_EQ(DecodeArray("[a\f]").error, "expect comma \",\", input: [a");
}

TEST(JsonParserTest, UnexpectedCommaExcerptEndsAfterTheComma)
{
    EXPECT_EQ(DecodeArray("[,a]").error, "unexpect comma \",\", input: [,");
    EXPECT_EQ(DecodeArray("[a,,b]").error, "unexpect comma \",\", input: [a,,");
    EXPECT_EQ(DecodeArray("[a, ,b]").error,
              "unexpect comma \",\", input: [a, ,");
    EXPECT_EQ(DecodeMap("{,}").error, "unexpect comma \",\", input: {,");
    EXPECT_EQ(DecodeMap("{a:b,,}").result, EINVAL);
}

TEST(JsonParserTest, BareTokensDecodeToTheirText)
{
    EXPECT_EQ(DecodeArray("[1.5e-3, -2, true]").items,
              (Items{"1.5e-3", "-2", "true"}));
    EXPECT_EQ(DecodeArray("[null,A_z.9]").items, (Items{"null", "A_z.9"}));
    EXPECT_EQ(DecodeArray("[+1]").error, "expect comma \",\", input: [");
    EXPECT_EQ(DecodeArray("[a b]").error, "expect comma \",\", input: [a ");
    EXPECT_EQ(DecodeArray("[1e+5]").error, "expect comma \",\", input: [1e");
    // A bare token never continues into a quote.
    EXPECT_EQ(DecodeArray("[ab\"c\"]").error, "expect comma \",\", input: [ab");
}

TEST(JsonParserTest, NestingIsNotSupported)
{
    EXPECT_EQ(DecodeArray("[[1]]").error, "expect comma \",\", input: [");
    EXPECT_EQ(DecodeArray("[{}]").result, EINVAL);
    EXPECT_EQ(DecodeMap("{a:{b:c}}").error, "expect comma \",\", input: {a:");
}

TEST(JsonParserTest, QuotedStringsTakeEitherQuote)
{
    EXPECT_EQ(DecodeArray("[\"a,b\"]").items, Items{"a,b"});
    EXPECT_EQ(DecodeArray("['say \"hi\"']").items, Items{"say \"hi\""});
    EXPECT_EQ(DecodeArray("[\"it's\"]").items, Items{"it's"});
    EXPECT_EQ(DecodeArray("[\"[]{}:\",'']").items, (Items{"[]{}:", ""}));
    EXPECT_EQ(DecodeArray("[\"a\"\"b\"]").error,
              "expect comma \",\", input: [\"a\"");
    std::string with_nul = "[\"a";
    with_nul += '\0';
    with_nul += "b\"]";
    EXPECT_EQ(DecodeArray(with_nul).items, Items{std::string("a\0b", 3)});
}

TEST(JsonParserTest, EveryEscapeDecodes)
{
    EXPECT_EQ(DecodeArray(R"(["\"\'\/\\\b\n\r\t"])").items,
              Items{"\"'/\\\b\n\r\t"});
    EXPECT_EQ(DecodeArray(R"(['\b'])").items, Items{"\b"});
    EXPECT_EQ(DecodeArray(R"(["\f"])").error,
              "invalid escaped character: f(0x66), input: [\"\\f");
    EXPECT_EQ(DecodeArray(R"(["ab\u0041"])").error,
              "invalid escaped character: u(0x75), input: [\"ab\\u");
    EXPECT_EQ(DecodeArray("[\"\\\xe9\"]").error,
              "invalid escaped character: \xe9(0xe9), input: [\"\\\xe9");
}

TEST(JsonParserTest, UnterminatedStringsExcerptStopsBeforeClosingChar)
{
    EXPECT_EQ(DecodeArray("[\"abc]").error,
              "expect closed character: \", input: [\"abc");
    EXPECT_EQ(DecodeArray("['abc\"]").error,
              "expect closed character: ', input: ['abc\"");
    // The escaped quote does not close the string.
    EXPECT_EQ(DecodeArray(R"(["a\"])").error,
              "expect closed character: \", input: [\"a\\\"");
    EXPECT_EQ(DecodeArray(R"(["a\])").error,
              "expect a character after \\, input: [\"a\\");
    EXPECT_EQ(DecodeMap(R"({"k":"v\})").error,
              "expect a character after \\, input: {\"k\":\"v\\");
}

TEST(JsonParserTest, MapPairsKeepInputOrderAndDuplicates)
{
    EXPECT_EQ(DecodeMap("{a:1, 'b' : \"2\" ,a:3}").pairs,
              (Pairs{{"a", "1"}, {"b", "2"}, {"a", "3"}}));
    EXPECT_EQ(DecodeMap("{\"k:,\":'v}'}").pairs, (Pairs{{"k:,", "v}"}}));
}

TEST(JsonParserTest, MapEmptyTokensDecodeAsEmptyStrings)
{
    EXPECT_EQ(DecodeMap("{:x}").pairs, (Pairs{{"", "x"}}));
    EXPECT_EQ(DecodeMap("{a:}").pairs, (Pairs{{"a", ""}}));
    EXPECT_EQ(DecodeMap("{a:,b:c}").pairs, (Pairs{{"a", ""}, {"b", "c"}}));
    EXPECT_EQ(DecodeMap("{:}").pairs, (Pairs{{"", ""}}));
    EXPECT_EQ(DecodeMap("{a: }").pairs, (Pairs{{"a", ""}}));
}

TEST(JsonParserTest, MissingColonExcerpts)
{
    EXPECT_EQ(DecodeMap("{a \"b\"}").error, "expect colon \":\", input: {a ");
    EXPECT_EQ(DecodeMap("{a}").error, "expect colon \":\", input: {a");
    EXPECT_EQ(DecodeMap("{a }").error, "expect colon \":\", input: {a ");
    EXPECT_EQ(DecodeMap("{a:b c:d}").error, "expect comma \",\", input: {a:b ");
    EXPECT_EQ(DecodeMap("{a::}").error, "expect comma \",\", input: {a:");
}

TEST(JsonParserTest, ExcerptIsTheEightyCharactersBeforeTheError)
{
    std::string text = "[" + std::string(198, 'x') + " +]";
    const ArrayResult r = DecodeArray(text);
    ASSERT_EQ(r.result, EINVAL);
    // The error is at offset 200 ('+'): the excerpt is offsets 120..199.
    EXPECT_EQ(r.error, "expect comma \",\", input: " + text.substr(120, 80));
    // With exactly 80 characters before the error, all of them are shown.
    std::string short_text = "[" + std::string(78, 'y') + " +]";
    EXPECT_EQ(DecodeArray(short_text).error,
              "expect comma \",\", input: " + short_text.substr(0, 80));
}

TEST(JsonParserTest, ErrorInfoIsTruncatedAndUntouchedOnSuccess)
{
    Input bad("[,]");
    json_array_t array;
    char error[8];
    memset(error, '#', sizeof(error));
    EXPECT_EQ(decode_json_array(&bad.str, &array, error, 8), EINVAL);
    EXPECT_STREQ(error, "unexpec");
    EXPECT_EQ(decode_json_array(&bad.str, &array, nullptr, 0), EINVAL);
    Input good("[a]");
    strcpy(error, "keep");
    ASSERT_EQ(decode_json_array(&good.str, &array, error, sizeof(error)), 0);
    EXPECT_STREQ(error, "keep");
    free_json_array(&array);
    EXPECT_EQ(array.elements, nullptr);
    EXPECT_EQ(array.buff, nullptr);
    EXPECT_EQ(array.count, 0);
    free_json_array(&array);  // releasing an empty record is harmless
}

TEST(JsonParserTest, TableGrowsByDoublingFromThirtyTwo)
{
    std::string text = "[";
    Items expected;
    for (int i = 0; i < 1000; ++i) {
        expected.push_back(std::to_string(i * 7));
        text += (i % 2 ? "'" : "") + expected.back() + (i % 2 ? "'" : "") + ",";
    }
    text += "]";
    Input in(text);
    json_array_t array;
    char error[64];
    ASSERT_EQ(decode_json_array(&in.str, &array, error, sizeof(error)), 0);
    EXPECT_EQ(array.count, 1000);
    EXPECT_EQ(array.alloc, 1024);
    for (int i = 0; i < array.count; ++i) {
        EXPECT_EQ(std::string(array.elements[i].str), expected[i]);
    }
    free_json_array(&array);
    EXPECT_EQ(array.alloc, 1024);  // kept: every decode resets it
}

TEST(JsonParserTest, AllocationFailuresLeaveRecordEmpty)
{
    kite_test::LogCapture log;
    json_array_t array;
    char error[64];
    Input in("[a,b]");
    {
        kite_test::FailingAllocator fail(0);
        EXPECT_EQ(decode_json_array(&in.str, &array, error, sizeof(error)),
                  ENOMEM);
    }
    EXPECT_STREQ(error, "malloc 4 bytes fail");
    EXPECT_TRUE(log.contains("file: json_parser.c, line: "));
    EXPECT_EQ(array.buff, nullptr);
    {
        kite_test::FailingAllocator fail(1);
        EXPECT_EQ(decode_json_array(&in.str, &array, error, sizeof(error)),
                  ENOMEM);
    }
    EXPECT_STREQ(error, "realloc 512 bytes fail");
    EXPECT_EQ(array.buff, nullptr);
    EXPECT_EQ(array.elements, nullptr);
    EXPECT_EQ(array.count, 0);
    std::string many = "{";
    for (int i = 0; i < 40; ++i) many += "k:v,";
    Input map_in(many + "}");
    json_map_t map;
    {
        kite_test::FailingAllocator fail(2);
        EXPECT_EQ(decode_json_map(&map_in.str, &map, error, sizeof(error)),
                  ENOMEM);
    }
    EXPECT_STREQ(error, "realloc 2048 bytes fail");
    EXPECT_EQ(map.elements, nullptr);
    EXPECT_EQ(map.count, 0);
}

TEST(JsonParserTest, EncodeArrayQuotesAndEscapes)
{
    const std::string text = EncodeArray({"a", "b\"c", ""});
    EXPECT_EQ(text, "[\"a\",\"b\\\"c\",\"\"]");
    EXPECT_EQ(text.size(), 15u);
    EXPECT_EQ(EncodeArray({"it's", "a/b"}), "[\"it\\'s\",\"a/b\"]");
    EXPECT_EQ(EncodeArray({"\b\t\n\r\\"}), "[\"\\b\\t\\n\\r\\\\\"]");
    // Other control characters, form feed and bytes above 127 stay as-is.
    EXPECT_EQ(EncodeArray({"\x01\f\x7f\xff"}), "[\"\x01\f\x7f\xff\"]");
    EXPECT_EQ(EncodeArray({}), "[]");
}

TEST(JsonParserTest, EncodeMapWritesPairsWithoutWhitespace)
{
    EXPECT_EQ(EncodeMap({}), "{}");
    EXPECT_EQ(EncodeMap({{"k", "v"}, {"a'", "\n"}}),
              "{\"k\":\"v\",\"a\\'\":\"\\n\"}");
    // All-empty pairs use six of the reserved bytes each but one comma less.
    const std::string empties = EncodeMap(Pairs(5, {"", ""}));
    EXPECT_EQ(empties.size(), 2u + 5 * 6 - 1);
    EXPECT_EQ(DecodeMap(empties).pairs, Pairs(5, std::make_pair("", "")));
}

TEST(JsonParserTest, EncodeFailures)
{
    kite_test::LogCapture log;
    char a[] = "a";
    string_t one{a, 1};
    json_array_t array{&one, 1, sizeof(string_t), 1, nullptr};
    string_t out{a, 1};
    char error[64];
    {
        kite_test::FailingAllocator fail(0);
        EXPECT_EQ(encode_json_array(&array, &out, error, sizeof(error)),
                  ENOMEM);
    }
    EXPECT_STREQ(error, "malloc 8 bytes fail");
    EXPECT_EQ(out.str, nullptr);
    {
        // The output is allocated, the temporary escape buffer is not.
        kite_test::FailingAllocator fail(1);
        EXPECT_EQ(encode_json_array(&array, &out, error, sizeof(error)),
                  ENOMEM);
    }
    EXPECT_STREQ(error, "malloc 3 bytes fail");
    EXPECT_EQ(out.str, nullptr);
    one.len = -1;
    EXPECT_EQ(encode_json_array(&array, &out, error, sizeof(error)), EINVAL);
    EXPECT_EQ(out.str, nullptr);
    key_value_pair_t kv{{a, 1}, {a, 1}};
    json_map_t map{&kv, 1, sizeof(key_value_pair_t), 1, nullptr};
    {
        kite_test::FailingAllocator fail(2);
        EXPECT_EQ(encode_json_map(&map, &out, error, sizeof(error)), ENOMEM);
    }
    EXPECT_EQ(out.str, nullptr);
}

namespace {

// One string encoded from a heap block of exactly its size, so that the
// sanitizers catch a read past it.
std::string EncodeExact(const std::string &s)
{
    std::unique_ptr<char[]> bytes(new char[s.size()]);
    memcpy(bytes.get(), s.data(), s.size());
    string_t item{bytes.get(), static_cast<int32_t>(s.size())};
    json_array_t array{&item, 1, sizeof(string_t), 1, nullptr};
    string_t out{nullptr, 0};
    char error[64] = "";
    EXPECT_EQ(encode_json_array(&array, &out, error, sizeof(error)), 0);
    std::string text(out.str, out.len);
    free_json_string(&out);
    return text;
}

// The quoted form of s, escaped one byte at a time.
std::string QuotedByHand(const std::string &s)
{
    std::string quoted = "\"";
    for (char c : s) {
        const char *escaped = c == '\b'   ? "\\b"
                              : c == '\t' ? "\\t"
                              : c == '\n' ? "\\n"
                              : c == '\r' ? "\\r"
                              : c == '"'  ? "\\\""
                              : c == '\'' ? "\\'"
                              : c == '\\' ? "\\\\"
                                          : nullptr;
        if (escaped != nullptr) {
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

}  // namespace

// Plain runs are copied several bytes at a time with loads that overlap as
// the length demands; every length past the widest such step, with an
// escaped byte (or a control byte that is copied as it is) at every
// position, must give the bytes of escaping one at a time.
TEST(JsonParserTest, EncodeMatchesBytewiseEscapingAtAnyLengthAndPosition)
{
    static const char kSpecial[] = {'"',  '\'', '\\',   '\b',   '\t', '\n',
                                    '\r', '\0', '\x01', '\x0b', '/'};
    for (size_t len = 0; len <= 80; ++len) {
        for (size_t pos = 0; pos <= len; ++pos) {
            for (char special : kSpecial) {
                std::string s(len, ' ');
                for (size_t i = 0; i < len; ++i) s[i] = 'a' + i % 26;
                if (pos < len) s[pos] = special;
                if (pos < len && pos % 2 == 1) s[len - 1] = special;
                ASSERT_EQ(EncodeExact(s), "[" + QuotedByHand(s) + "]")
                    << "length " << len << ", position " << pos;
                if (pos == len) break;
            }
        }
    }
}

// Strings of arbitrary bytes (NUL, control characters, both quotes,
// backslashes, bytes above 127) survive an encode and a decode, for lengths
// on both sides of the 16-byte vector width.
TEST(JsonParserTest, EncodedArbitraryBytesDecodeBack)
{
    static const char kNasty[] = "\"'\\\b\t\n\r\f\x01\x7f\x80\xff/,:[]{} aZ";
    auto &rng = kite_test::Rng();
    for (int round = 0; round < 200; ++round) {
        Items items;
        Pairs pairs;
        const int n = static_cast<int>(rng() % 20);
        for (int i = 0; i < n; ++i) {
            std::string s = kite_test::RandomBytes(rng() % 70);
            for (char &c : s) {
                if (rng() % 3 == 0) c = kNasty[rng() % (sizeof(kNasty) - 1)];
            }
            items.push_back(s);
            pairs.emplace_back(s, items[rng() % items.size()]);
        }
        const ArrayResult array = DecodeArray(EncodeArray(items));
        ASSERT_EQ(array.result, 0) << array.error;
        ASSERT_EQ(array.items, items);
        const MapResult map = DecodeMap(EncodeMap(pairs));
        ASSERT_EQ(map.result, 0) << map.error;
        ASSERT_EQ(map.pairs, pairs);
    }
}

// Every file of the public JSON parsing collection goes through both
// decoders; accepted or not, nothing may crash, leak or read past the input
// (checked by the sanitizer builds), and a refusal must say why.
TEST(JsonParserTest, JsonTestSuiteFilesDecodeSafely)
{
    const char *root = getenv("KITE_TEST_DATA_DIR");
    const std::string dir =
        std::string(root ? root : ".") + "/../shared/corpus/json-testsuite";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) GTEST_SKIP() << dir << " not found";
    int files = 0;
    int accepted = 0;
    while (dirent *entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name.size() < 5 || name.substr(name.size() - 5) != ".json")
            continue;
        std::ifstream f(dir + "/" + name, std::ios::binary);
        std::stringstream content;
        content << f.rdbuf();
        const ArrayResult a = DecodeArray(content.str());
        const MapResult m = DecodeMap(content.str());
        for (const auto &[result, error] :
             {std::make_pair(a.result, a.error),
              std::make_pair(m.result, m.error)}) {
            if (result != 0) {
                EXPECT_EQ(result, EINVAL) << name;
                EXPECT_FALSE(error.empty()) << name;
            }
        }
        accepted += (a.result == 0) + (m.result == 0);
        ++files;
    }
    closedir(d);
    EXPECT_EQ(files, 318);
    EXPECT_GT(accepted, 0);
}
