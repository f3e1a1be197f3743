// GetEnvVar reads the library's settings file in the scratch home on every call.
#include <gtest/gtest.h>

#include "paths.h"
#include "testutil.h"
#include "dravik/tools.h"

namespace {

// Gives the test the settings file and puts back whatever stood there before.
class EnvConf : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(TOLVANE_HOME, 0755);
        ::mkdir(TOLVANE_HOME "/cfg", 0755);
        _hadFile = testutil::Exists(TOLVANE_ENV_CONF);
        if (_hadFile) _saved = testutil::ReadAll(TOLVANE_ENV_CONF);
    }
    void TearDown() override {
        if (_hadFile) testutil::WriteAll(TOLVANE_ENV_CONF, _saved);
        else unlink(TOLVANE_ENV_CONF);
    }

private:
    bool _hadFile = false;
    std::string _saved;
};

TEST_F(EnvConf, ReadsTheFileAnewOnEveryCall) {
    ASSERT_TRUE(testutil::WriteAll(TOLVANE_ENV_CONF, "name=tolvane\nempty=\n"));
    EXPECT_EQ(GetEnvVar("name", "dflt"), "tolvane");
    EXPECT_EQ(GetEnvVar("empty", "dflt"), "dflt");
    EXPECT_EQ(GetEnvVar("absent", "dflt"), "dflt");

    ASSERT_TRUE(testutil::WriteAll(TOLVANE_ENV_CONF, "name=changed\n"));
    EXPECT_EQ(GetEnvVar("name", "dflt"), "changed");
}

TEST_F(EnvConf, MissingFileGivesDefault) {
    unlink(TOLVANE_ENV_CONF);
    EXPECT_EQ(GetEnvVar("name", "dflt"), "dflt");
    EXPECT_FALSE(testutil::Exists(TOLVANE_ENV_CONF));
}

}  // namespace
