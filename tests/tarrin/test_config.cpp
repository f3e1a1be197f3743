// Config over real settings files: which line a lookup or an update takes, what counts as
// a setting, what a rewrite keeps, and files that cannot be loaded.
#include <gtest/gtest.h>

#include "tarrin/config.h"
#include "testutil.h"
#include "unprivileged.h"

using testutil::ReadAll;
using testutil::WriteAll;

namespace {

class ConfigFile : public ::testing::Test {
protected:
    // A Config loaded from a fresh file holding `text`.
    Config Load(const std::string& text) {
        EXPECT_TRUE(WriteAll(_file, text));
        Config conf;
        EXPECT_TRUE(conf.LoadConfigFile(_file));
        return conf;
    }
    void Set(Config& conf, std::string key, std::string value) { conf.SetValue(key, value); }

    testutil::TempDir _dir;
    const std::string _file = _dir.file("mq.conf");
};

TEST_F(ConfigFile, LookupTakesLastLineAndExactlyOneEquals) {
    Config conf = Load(
        "k=first\nk=second\n"
        "gone=1\ngone=\n"
        "empty=\n"
        "two=a=b\n"
        "blank = v\n"
        "cr=1\r\n"
        "#c=commented\n"
        "a line without separator\n");
    EXPECT_EQ(conf.GetValue("k", "d"), "second");
    EXPECT_EQ(conf.GetValue("gone", "d"), "d");  // a later empty value wins and means absent
    EXPECT_EQ(conf.GetValue("empty", "d"), "d");
    EXPECT_EQ(conf.GetValue("two", "d"), "d");
    EXPECT_EQ(conf.GetValue("blank", "d"), "d");
    EXPECT_EQ(conf.GetValue("blank ", "d"), " v");
    EXPECT_EQ(conf.GetValue("cr", "d"), "1\r");
    EXPECT_EQ(conf.GetValue("c", "d"), "d");
    EXPECT_EQ(conf.GetValue("#c", "d"), "commented");
    EXPECT_EQ(conf.GetValue("absent", "d"), "d");
}

TEST_F(ConfigFile, UpdateRewritesFirstLineAndKeepsOtherLines) {
    Config conf = Load("# comment\n\nk=first\n\nother=1\nk=second");
    Set(conf, "k", "new");
    EXPECT_EQ(ReadAll(_file), "# comment\nk=new\nother=1\nk=second\n");
    EXPECT_EQ(conf.GetValue("k", "d"), "second");
}

TEST_F(ConfigFile, UpdateNeverAddsKeys) {
    const std::string text = "a=1\n\ntwo=x=y\n";
    Config conf = Load(text);
    Set(conf, "absent", "v");
    Set(conf, "two", "v");
    Set(conf, "", "v");
    Set(conf, "a", "");
    EXPECT_EQ(ReadAll(_file), text);
    EXPECT_EQ(conf.GetValue("absent", "d"), "d");
    EXPECT_EQ(conf.GetValue("a", "d"), "1");
}

TEST_F(ConfigFile, UpdatedValueWithEqualsIsNoSettingAnyMore) {
    Config conf = Load("k=1\n");
    Set(conf, "k", "a=b");
    EXPECT_EQ(ReadAll(_file), "k=a=b\n");
    EXPECT_EQ(conf.GetValue("k", "d"), "d");
    Set(conf, "k", "2");
    EXPECT_EQ(ReadAll(_file), "k=a=b\n");
}

TEST_F(ConfigFile, MissingOrBlankFileHoldsNothing) {
    Config missing;
    EXPECT_FALSE(missing.LoadConfigFile(_dir.file("absent.conf")));
    EXPECT_EQ(missing.GetValue("k", "d"), "d");
    Set(missing, "k", "v");
    EXPECT_FALSE(testutil::Exists(_dir.file("absent.conf")));

    Config blank = Load("\n\n\n");
    EXPECT_EQ(blank.GetValue("", "d"), "d");
}

TEST_F(ConfigFile, SecondLoadReplacesHeldLinesAndTarget) {
    Config conf = Load("a=1\nb=1\n");
    const std::string other = _dir.file("other.conf");
    ASSERT_TRUE(WriteAll(other, "b=2\n"));
    EXPECT_TRUE(conf.LoadConfigFile(other));
    EXPECT_EQ(conf.GetValue("a", "d"), "d");
    EXPECT_EQ(conf.GetValue("b", "d"), "2");
    Set(conf, "b", "3");
    EXPECT_EQ(ReadAll(other), "b=3\n");
    EXPECT_EQ(ReadAll(_file), "a=1\nb=1\n");
}

TEST_F(ConfigFile, ReadOnlyFileLoadsEmpty) {
    ASSERT_TRUE(WriteAll(_file, "k=v\n"));
    ASSERT_EQ(chmod(_file.c_str(), 0444), 0);
    ASSERT_EQ(chmod(_dir.path().c_str(), 0755), 0);
    int rc = testutil::RunUnprivileged([&] {
        if (access(_file.c_str(), R_OK) != 0) return testutil::kCannotDrop;
        Config conf;
        if (conf.LoadConfigFile(_file)) return 1;
        return conf.GetValue("k", "d") == "d" ? 0 : 2;
    });
    if (rc == testutil::kCannotDrop) GTEST_SKIP() << "cannot drop root privileges";
    EXPECT_EQ(rc, 0);
}

}  // namespace
