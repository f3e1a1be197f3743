// The cached plug-in library across a replacement of its file (install, rename over it) with
// a call still holding the old library, and across the file's removal.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "core/plugin_loader.h"
#include "testutil.h"

namespace {

using testutil::ReadAll;

// What the loaded build answers.
std::string Version(const std::shared_ptr<SoHandle>& so) {
    MyProc version = so->IsOpen() ? so->Find("version") : nullptr;
    if (version == nullptr) return "not open";
    std::map<std::string, std::string> params;
    std::string out;
    version(params, "param", out);
    return out;
}

TEST(PluginCache, ReplacedFileIsLoadedFreshAndRemovedFileIsMissing) {
    testutil::TempDir dir;
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);  // as /proc/self/maps spells it
    const std::string lib = std::string(real) + "/lib", file = lib + "/libtvversion.so";
    ASSERT_EQ(mkdir(lib.c_str(), 0755), 0);
    auto install = [&](const char* build) {
        return testutil::TempDir::Run(std::string("install -m 644 '") + TEST_BINARY_DIR +
                                      "/tests/client/libtvversion" + build + ".so' '" + file + "'");
    };
    auto load = [&] { return LoadPlugin(file.c_str(), true); };

    ASSERT_EQ(install("1"), 0);
    std::shared_ptr<SoHandle> running = load();  // a call that goes on across the replacement
    EXPECT_EQ(Version(running), "v1");
    EXPECT_EQ(load(), running) << "kept loaded between calls";

    ASSERT_EQ(install("2"), 0);
    EXPECT_EQ(Version(load()), "v2") << "the call after the replacement, the old one running";
    EXPECT_NE(ReadAll("/proc/self/maps").find(file + " (deleted)"), std::string::npos);
    running.reset();
    EXPECT_EQ(ReadAll("/proc/self/maps").find(file + " (deleted)"), std::string::npos)
        << "the old library is unloaded once its last call ends";
    EXPECT_EQ(Version(load()), "v2");
    EXPECT_EQ(Version(load()), "v2");

    ASSERT_EQ(unlink(file.c_str()), 0);
    EXPECT_EQ(Version(load()), "not open") << "a removed file is a missing library";
    EXPECT_EQ(ReadAll("/proc/self/maps").find(file), std::string::npos) << "and is let go";
}

}  // namespace
