// INI reader: the grammar (sections, items, comments, line ends, repeated
// names), the lookups, the options, and the refusal of bad text with the
// line named.
#include "ini_file_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using kite_test::LogCapture;

struct Ini {
    IniContext ctx;
    int result;
    explicit Ini(const std::string &text,
                 int flags = KT_INI_FLAG_VERBATIM_VALUES)
    {
        std::string copy = text;
        result = iniLoadFromBufferEx(copy.data(), &ctx, KT_INI_ANNOTATION_NONE,
                                     nullptr, 0, flags);
    }
    ~Ini() { iniFreeContext(&ctx); }
    std::string Get(const char *section, const char *name, bool retry = false)
    {
        const char *v = iniGetStrValueEx(section, name, &ctx, retry);
        return v != nullptr ? v : "<null>";
    }
    std::vector<std::string> Items(const char *section)
    {
        int count = -1;
        IniItem *items = iniGetSectionItems(section, &ctx, &count);
        std::vector<std::string> out;
        for (int i = 0; i < count; i++) {
            out.push_back(std::string(items[i].name) + "=" + items[i].value);
        }
        EXPECT_EQ(items == nullptr, count == 0);
        return out;
    }
    std::vector<std::string> Sections(const char *prefix, int max = 100,
                                      int *result_out = nullptr)
    {
        std::vector<IniSectionInfo> infos(max + 1);
        int count = -1;
        int r =
            iniGetSectionNamesByPrefix(&ctx, prefix, infos.data(), max, &count);
        if (result_out != nullptr) *result_out = r;
        std::vector<std::string> out;
        for (int i = 0; i < count; i++) out.push_back(infos[i].section_name);
        return out;
    }
};

using V = std::vector<std::string>;

TEST(IniFileReaderTest, Grammar)
{
    Ini ini("# comment\n; another\n\n  g1 = one \nport=7\n"
            "[a]\r\n  x =  1 2  \r\n\ty=\nk = a = b\n"
            "  [b c]  \nitem = #not a comment\n"
            "[a]\nx = again\n"
            "[empty]\n"
            "[ spaced ]\nv = 1\n"
            "[last]\nno_newline = yes");
    ASSERT_EQ(ini.result, 0);
    EXPECT_EQ(ini.ctx.section_count, 5);
    EXPECT_EQ(ini.Items(nullptr), (V{"g1=one", "port=7"}));
    // A section named twice is one section, items in text order.
    EXPECT_EQ(ini.Items("a"), (V{"x=1 2", "y=", "k=a = b", "x=again"}));
    EXPECT_EQ(ini.Items("b c"), (V{"item=#not a comment"}));
    EXPECT_EQ(ini.Items("empty"), V{});
    EXPECT_EQ(ini.Items(" spaced "), (V{"v=1"}));
    EXPECT_EQ(ini.Items("spaced"), V{});
    EXPECT_EQ(ini.Items("last"), (V{"no_newline=yes"}));
    EXPECT_EQ(ini.Items("missing"), V{});
    // The first of repeated names answers; no fall-back unless asked.
    EXPECT_EQ(ini.Get("a", "x"), "1 2");
    EXPECT_EQ(ini.Get("a", "g1"), "<null>");
    EXPECT_EQ(ini.Get("a", "g1", true), "one");
    EXPECT_EQ(ini.Get("missing", "g1", true), "one");
    EXPECT_EQ(ini.Get(nullptr, "port"), "7");
    EXPECT_EQ(ini.Get("A", "x"), "<null>");  // names are case-sensitive
}

TEST(IniFileReaderTest, SectionsByPrefix)
{
    Ini ini(
        "[server-3]\na=1\n[group-b]\n[server-1]\n[serve]\n[server-3]\nb=2\n");
    ASSERT_EQ(ini.result, 0);
    EXPECT_EQ(iniGetSectionCountByPrefix(&ini.ctx, "server-"), 2);
    EXPECT_EQ(iniGetSectionCountByPrefix(&ini.ctx, ""), 4);
    EXPECT_EQ(iniGetSectionCountByPrefix(&ini.ctx, "x"), 0);
    EXPECT_EQ(ini.Sections("server-"), (V{"server-3", "server-1"}));
    int r = -1;
    EXPECT_EQ(ini.Sections("serve", 2, &r), (V{"server-3", "server-1"}));
    EXPECT_EQ(r, ENOSPC);  // three match: never truncated silently
    EXPECT_EQ(ini.Sections("group-", 1, &r), V{"group-b"});
    EXPECT_EQ(r, 0);
    IniSectionInfo info;
    int count = 0;
    ASSERT_EQ(
        iniGetSectionNamesByPrefix(&ini.ctx, "server-3", &info, 1, &count), 0);
    ASSERT_EQ(count, 1);
    ASSERT_EQ(info.pSection->count, 2);
    EXPECT_STREQ(info.pSection->items[1].value, "2");
}

TEST(IniFileReaderTest, IntValues)
{
    LogCapture log;
    Ini ini("a = 42\nb = -7\nc = 12x\nd = 99999999999\ne =\n");
    ASSERT_EQ(ini.result, 0);
    EXPECT_EQ(iniGetIntValueEx(nullptr, "a", &ini.ctx, 5, false), 42);
    EXPECT_EQ(iniGetIntValueEx(nullptr, "b", &ini.ctx, 5, false), -7);
    EXPECT_EQ(iniGetIntValueEx(nullptr, "missing", &ini.ctx, 5, false), 5);
    EXPECT_EQ(log.size(), 0u);
    EXPECT_EQ(iniGetIntValueEx(nullptr, "c", &ini.ctx, 5, false), 5);
    EXPECT_EQ(iniGetIntValueEx(nullptr, "d", &ini.ctx, 5, false), 5);
    EXPECT_EQ(iniGetIntValueEx(nullptr, "e", &ini.ctx, 5, false), 5);
    EXPECT_EQ(log.size(), 3u);
}

TEST(IniFileReaderTest, Flags)
{
    const std::string text =
        "a = \" padded \"\nb = x ; note\nc = x;y\nd = \"\n";
    Ini plain(text, 0);
    ASSERT_EQ(plain.result, 0);
    EXPECT_EQ(plain.Get(nullptr, "a"), " padded ");
    EXPECT_EQ(plain.Get(nullptr, "b"), "x ; note");
    EXPECT_EQ(plain.Get(nullptr, "d"), "\"");
    Ini verbatim(text, KT_INI_FLAG_VERBATIM_VALUES);
    EXPECT_EQ(verbatim.Get(nullptr, "a"), "\" padded \"");
    Ini comments(text, KT_INI_FLAG_INLINE_COMMENTS);
    EXPECT_EQ(comments.Get(nullptr, "b"), "x");
    EXPECT_EQ(comments.Get(nullptr, "c"), "x;y");
    LogCapture log;
    Ini bad(text, 4);
    EXPECT_EQ(bad.result, EINVAL);
}

int Remember(IniContext *, const char *section, const char *args, void *arg)
{
    auto *seen = static_cast<std::vector<std::string> *>(arg);
    seen->push_back(std::string(section) + "|" + args);
    return std::string(args) == "fail" ? EPERM : 0;
}

TEST(IniFileReaderTest, Annotations)
{
    std::vector<std::string> seen;
    IniAnnotationEntry entries[] = {{"note", Remember, &seen}};
    std::string text = "#@note  first one \n[s]\n#@note second\n#plain\n";
    IniContext ctx;
    ASSERT_EQ(iniLoadFromBufferEx(text.data(), &ctx, KT_INI_ANNOTATION_ENTRIES,
                                  entries, 1, 0),
              0);
    iniFreeContext(&ctx);
    EXPECT_EQ(seen, (V{"|first one", "s|second"}));

    LogCapture log;
    std::string unknown = "#@other x\n";
    EXPECT_EQ(iniLoadFromBufferEx(unknown.data(), &ctx,
                                  KT_INI_ANNOTATION_ENTRIES, entries, 1, 0),
              EINVAL);
    std::string failing = "\n#@note fail\n";
    EXPECT_EQ(iniLoadFromBufferEx(failing.data(), &ctx,
                                  KT_INI_ANNOTATION_ENTRIES, entries, 1, 0),
              EPERM);
    EXPECT_TRUE(log.contains("line: 2, annotation: note fail")) << log.last();
    // Type 2 ignores annotation lines and takes no entries.
    EXPECT_EQ(iniLoadFromBufferEx(unknown.data(), &ctx, KT_INI_ANNOTATION_NONE,
                                  nullptr, 0, 0),
              0);
    iniFreeContext(&ctx);
    EXPECT_EQ(iniLoadFromBufferEx(unknown.data(), &ctx, KT_INI_ANNOTATION_NONE,
                                  entries, 1, 0),
              EINVAL);
    EXPECT_EQ(iniLoadFromBufferEx(unknown.data(), &ctx, 0, nullptr, 0, 0),
              EINVAL);
}

TEST(IniFileReaderTest, BadTextNamesTheLine)
{
    const std::string long_name(64, 'n');
    const std::string long_value(256, 'v');
    const std::string long_section(64, 's');
    struct Case {
        std::string text;
        int line;
        std::string what;
    } cases[] = {
        {"a = 1\njust words\n", 2,
         "neither a section, an item nor a comment: just words"},
        {"[open\n", 1, "unterminated section header: [open"},
        {"\n\n[a] trailing\n", 3, "unterminated section header: [a] trailing"},
        {"[]\n", 1, "empty section name: []"},
        {"[a]b]\n", 1, "invalid section header: [a]b]"},
        {"= 1\n", 1, "empty item name: = 1"},
        {"x = 1\n" + long_name + " = 1\n", 2,
         "item name length: 64 exceeds 63"},
        {"[" + long_section + "]\n", 1, "section name length: 64 exceeds 63"},
        {"a = " + long_value + "\n", 1,
         "item: a, value length: 256 exceeds 255"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        Ini ini(c.text);
        EXPECT_EQ(ini.result, EINVAL);
        ASSERT_EQ(log.size(), 1u);
        static const std::regex kPrefix(
            "^file: ini_file_reader\\.cpp, line: [0-9]+, ");
        std::smatch m;
        std::string message = log.last();
        ASSERT_TRUE(std::regex_search(message, m, kPrefix)) << message;
        EXPECT_EQ(message.substr(m.length()),
                  "config file: (buffer), line: " + std::to_string(c.line) +
                      ", " + c.what);
        EXPECT_EQ(ini.ctx.impl, nullptr);
    }
    // Limits themselves are fine.
    Ini fits(std::string(63, 'n') + " = " + std::string(255, 'v') + "\n[" +
             std::string(63, 's') + "]\n");
    EXPECT_EQ(fits.result, 0);
}

TEST(IniFileReaderTest, Files)
{
    kite_test::TempFile file(std::string("[a]\nx = 1\n") + '\0' + "y = 2\n");
    IniContext ctx;
    LogCapture log;
    EXPECT_EQ(iniLoadFromFileEx(file.path().c_str(), &ctx,
                                KT_INI_ANNOTATION_NONE, nullptr, 0, 0),
              EINVAL);
    EXPECT_TRUE(log.contains(file.path() + ", line: 3, NUL byte in the text"))
        << log.last();
    file.write("[a]\nx = 1\r\n");
    ASSERT_EQ(iniLoadFromFileEx(file.path().c_str(), &ctx,
                                KT_INI_ANNOTATION_NONE, nullptr, 0, 0),
              0);
    EXPECT_STREQ(iniGetStrValueEx("a", "x", &ctx, false), "1");
    iniFreeContext(&ctx);
    iniFreeContext(&ctx);  // twice is harmless
    // A byte-order mark opens the text only; elsewhere it stays bad text.
    file.write("\xEF\xBB\xBF[a]\nx = 1\n");
    ASSERT_EQ(iniLoadFromFileEx(file.path().c_str(), &ctx,
                                KT_INI_ANNOTATION_NONE, nullptr, 0, 0),
              0);
    EXPECT_STREQ(iniGetStrValueEx("a", "x", &ctx, false), "1");
    iniFreeContext(&ctx);
    file.write("[a]\n\xEF\xBB\xBFx = 1\n");
    ASSERT_EQ(iniLoadFromFileEx(file.path().c_str(), &ctx,
                                KT_INI_ANNOTATION_NONE, nullptr, 0, 0),
              0);
    EXPECT_EQ(iniGetStrValueEx("a", "x", &ctx, false), nullptr);
    iniFreeContext(&ctx);
    EXPECT_EQ(iniLoadFromFileEx("/nonexistent/dir/x.ini", &ctx,
                                KT_INI_ANNOTATION_NONE, nullptr, 0, 0),
              ENOENT);
}

TEST(IniFileReaderTest, ManySections)
{
    std::string text;
    for (int i = 0; i < 20000; i++) {
        text += "[s" + std::to_string(i) + "]\nk = " + std::to_string(i) + "\n";
    }
    text += "[s5]\nk = again\n";  // a repeated section between others
    Ini ini(text);
    ASSERT_EQ(ini.result, 0);
    EXPECT_EQ(ini.ctx.section_count, 20000);
    for (int i = 0; i < 20000; i += 7) {
        std::string name = "s" + std::to_string(i);
        ASSERT_EQ(ini.Get(name.c_str(), "k"), std::to_string(i));
    }
    EXPECT_EQ(ini.Items("s5"), (V{"k=5", "k=again"}));
}

TEST(IniFileReaderTest, AllocationFailures)
{
    std::string text;
    for (int i = 0; i < 300; i++) {
        text += "[s" + std::to_string(i % 200) + "]\nk = v\n";
    }
    int successes = 0;
    for (int n = 0; n < 400 && successes == 0; n++) {
        LogCapture log;
        IniContext ctx;
        int result;
        {
            kite_test::FailingAllocator fail(n, true);
            result = iniLoadFromBufferEx(text.data(), &ctx,
                                         KT_INI_ANNOTATION_NONE, nullptr, 0, 0);
        }
        if (result == 0) {
            successes++;
            EXPECT_EQ(iniGetSectionCountByPrefix(&ctx, "s"), 200);
            iniFreeContext(&ctx);
        } else {
            EXPECT_EQ(result, ENOMEM);
            EXPECT_EQ(ctx.impl, nullptr);
        }
    }
    EXPECT_EQ(successes, 1);
}

}  // namespace
