// ProcParam over the parameter-text table, and GetValue's trimming.
#include <gtest/gtest.h>

#include "dravik/tools.h"

using Map = std::map<std::string, std::string>;

namespace {

struct ParamCase {
    std::string text;
    bool ok;
    Map entries;
};

TEST(ProcParam, ParsesTheParameterTextTable) {
    const ParamCase cases[] = {
        {"comtype=x\r\nnfunc=y\r\n", true, {{"comtype", "x"}, {"nfunc", "y"}}},
        {"comtype=x\r\n.\r\nnfunc=y\r\n", true, {{"comtype", "x"}}},
        {"comtype=x\r\nnfunc=y", true, {{"comtype", "x"}}},
        {"a=1\r\nbad\r\nb=2\r\n", false, {{"a", "1"}}},
        {".\r\na=1\r\n", false, {}},
        {"a=1\r\n\r\n.\r\n", false, {{"a", "1"}}},
        {"\r\n\r\na=1\r\n", true, {{"a", "1"}}},
        {"k=1\r\nk=2\r\n", true, {{"k", "1"}}},
        {"k=a=b\r\n", true, {{"k", "a=b"}}},
        {"=v\r\n", true, {{"", "v"}}},
        {"k=\r\n", true, {{"k", ""}}},
        {"a=1\nb=2\r\n", true, {{"a", "1\nb=2"}}},
        {"a=1\rx\r\n", true, {{"a", "1\rx"}}},
        {" k = v \r\n", true, {{" k ", " v "}}},
        {"", true, {}},
        {"no crlf at all", true, {}},
        {"a=1\r\n.\r", true, {{"a", "1"}}},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        Map m;
        EXPECT_EQ(ProcParam(&text[0], m), c.ok) << "text: " << c.text;
        EXPECT_EQ(m, c.entries) << "text: " << c.text;
        EXPECT_EQ(text, c.text);
    }
}

TEST(ProcParam, NeverReplacesEntriesTheCallerHolds) {
    std::string text = "a=new\r\nb=2\r\n";
    Map m{{"a", "old"}};
    EXPECT_TRUE(ProcParam(&text[0], m));
    EXPECT_EQ(m, (Map{{"a", "old"}, {"b", "2"}}));
}

TEST(GetValue, TrimsBlanksAndMatchesKeysExactly) {
    std::string text = " k = v \r\nK=upper\r\nempty=\r\nblank= \t \r\ncr=x\r\r\n";
    Map m;
    ASSERT_TRUE(ProcParam(&text[0], m));
    EXPECT_EQ(GetValue(" k ", m), "v");
    EXPECT_EQ(GetValue("k", m), "");
    EXPECT_EQ(GetValue("K", m), "upper");
    EXPECT_EQ(GetValue("empty", m), "");
    EXPECT_EQ(GetValue("blank", m), "");
    EXPECT_EQ(GetValue("cr", m), "x\r");
    EXPECT_EQ(GetValue("absent", m), "");
    EXPECT_EQ(m.size(), 5u);
}

}  // namespace
