// Splitting and trimming, table-driven over the documented cases.
#include <gtest/gtest.h>

#include "dravik/tools.h"

using Lines = std::vector<std::string>;

namespace {

struct SplitCase {
    std::string source;
    Lines fields;
};

TEST(SplitByComas, CutsAtEverySeparatorButDropsEmptyLastField) {
    const SplitCase cases[] = {
        {"a=b", {"a", "b"}},
        {"a=", {"a"}},
        {"=b", {"", "b"}},
        {"a==b", {"a", "", "b"}},
        {"", {}},
        {"=", {""}},
        {" a = b ", {" a ", " b "}},
        {std::string("a=b\0=c", 6), {"a", "b"}},  // stops at the first NUL
    };
    for (const auto& c : cases) {
        std::string source = c.source;
        Lines out{"held"};
        SplitByComas(source, out, '=');
        Lines want{"held"};
        want.insert(want.end(), c.fields.begin(), c.fields.end());
        EXPECT_EQ(out, want) << "source: " << c.source;
    }
}

TEST(Split, TokensQuotesAndClosingBrackets) {
    const SplitCase cases[] = {
        {"a b", {"a", "b"}},
        {"a b ", {"a", "b"}},
        {"  \t ", {}},
        {"", {}},
        {"\n", {}},
        {"x y", {"x", "y"}},
        {"a\tb", {"a", "b"}},
        {"a\r", {"a\r"}},
        {"a \"b c\" d/>\n", {"a", "\"b c\"", "d"}},
        // A quote inside an open quoted token closes it only when a blank follows.
        {"\"a\"b c", {"\"a\"b c"}},
        {"\"a\"b c\" d", {"\"a\"b c\"", "d"}},
        // A lone quote followed by a blank is a token of its own.
        {"\" x\"y", {"\"", "x\"y"}},
        {"ab\"c d\"", {"ab\"c", "d\""}},
        // Closing brackets go from blank-ended and final tokens, quoted ones ended inside keep
        // theirs.
        {"<a/> b> />", {"<a", "b", ""}},
        {">", {""}},
        {"a>> b", {"a>", "b"}},
        {"\"x/>\" y", {"\"x/>\"", "y"}},
        {"\"a b/>", {"\"a b"}},
    };
    for (const auto& c : cases) {
        Lines out{"held"};
        Split(c.source, out);
        Lines want{"held"};
        want.insert(want.end(), c.fields.begin(), c.fields.end());
        EXPECT_EQ(out, want) << "source: [" << c.source << "]";
    }
}

TEST(Trim, DropsBlanksAndTabsOnlyAndLeavesArgument) {
    std::string s = " \t x y\t ";
    EXPECT_EQ(Trim(s), "x y");
    EXPECT_EQ(s, " \t x y\t ");
    std::string blanks = " \t\t ", empty, crlf = " x\r\n ";
    EXPECT_EQ(Trim(blanks), "");
    EXPECT_EQ(Trim(empty), "");
    EXPECT_EQ(Trim(crlf), "x\r\n");
}

TEST(MakePath, JoinsWithExactlyOneSlashAndStoresInPath) {
    std::string p1 = "/usr/local", p2 = "/usr/local/", p3 = "/usr/local", p4;
    EXPECT_EQ(MakePath(p1, "/lib"), "/usr/local/lib");
    EXPECT_EQ(p1, "/usr/local/lib");
    EXPECT_EQ(MakePath(p2, "lib"), "/usr/local/lib");
    EXPECT_EQ(MakePath(p3, "//lib"), "/usr/local//lib");
    EXPECT_EQ(MakePath(p4, "lib"), "/lib");
}

}  // namespace
