// Numbers in mq.conf that cannot be taken as written: what the reader uses instead, with a
// note, and the daemon's one log line per bad key and text however often it reads the file;
// what --check-config makes of texts and files the daemon takes as they stand.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/settings_check.h"
#include "core/home.h"
#include "core/service_settings.h"
#include "testutil.h"

using testutil::TempDir;
using testutil::WriteAll;

namespace {

int Used(const Settings& s, const std::string& key) {
    if (key == "port") return s.broker.port;
    if (key == "frame_max") return s.broker.frame_max;
    if (key == "workers") return s.workers;
    if (key == "intake_limit") return s.intake_limit;
    if (key == "stop_timeout") return s.stop_timeout;
    if (key == "heartbeat") return s.heartbeat;
    if (key == "reconnect_pause") return s.reconnect_pause;
    return s.stats_interval;
}

TEST(SettingsReader, BadNumbersAreNotedWithTheValueUsed) {
    TempDir dir;
    const std::string file = dir.file("mq.conf");
    const struct {
        const char* key;
        const char* text;
        int used;
        const char* why;
    } cases[] = {
        // The login's keys keep atoi's result, noted.
        {"port", "12ab", 12, "not a number"},
        {"port", "ab", 0, "not a number"},
        {"port", "70000", 70000, "out of range 1..65535"},
        {"frame_max", "9999999999", atoi("9999999999"), "out of range 4096..2147483647"},
        // The daemon's own keys: the default for a text, the range's edge for a number.
        {"workers", "ten", 10, "not a number"},
        {"workers", "0", 10, "out of range 1..1000"},
        {"workers", "5000", 1000, "out of range 1..1000"},
        {"intake_limit", "99999999999", 65525, "out of range 0..65525"},
        {"intake_limit", "-5", 0, "out of range 0..65525"},
        {"stop_timeout", "30s", 30, "not a number"},
        {"stop_timeout", "-1", 0, "out of range 0..86400"},
        {"heartbeat", "99999", 3600, "out of range 0..3600"},
        {"reconnect_pause", "0", 1, "out of range 1..3600"},
        {"stats_interval", "1\r", 0, "not a number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.text);
        ASSERT_TRUE(WriteAll(file, std::string(c.key) + "=" + c.text + "\n"));
        std::vector<SettingNote> notes;
        EXPECT_EQ(Used(ReadSettings(file, &notes), c.key), c.used);
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_EQ(notes[0].key, c.key);
        EXPECT_EQ(notes[0].text, c.text);
        EXPECT_EQ(notes[0].used, c.used);
        EXPECT_EQ(notes[0].why, c.why);
    }

    // The window's cap follows the pool; numbers in range pass without a note.
    ASSERT_TRUE(WriteAll(file, "workers=1000\nintake_limit=64535\nport=5673\nheartbeat=0\n"));
    std::vector<SettingNote> notes;
    Settings s = ReadSettings(file, &notes);
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(s.intake_limit + s.workers, 65535);
    ASSERT_TRUE(WriteAll(file, "workers=1000\nintake_limit=65535\n"));
    EXPECT_EQ(ReadSettings(file).intake_limit, 64535);
}

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(ServiceSettings, EachBadKeyAndTextIsLoggedOnce) {
    TempDir home;
    SetHome(home.path());
    ASSERT_EQ(TempDir::Run("mkdir -p '" + home.file("cfg") + "' '" + home.file("log") + "'"), 0);
    ASSERT_TRUE(WriteAll(MqConfPath(), "workers=zero\nheartbeat=-3\n"));
    std::vector<std::thread> readers;  // as the start and the message jobs read it
    readers.reserve(4);
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([] {
            for (int j = 0; j < 5; ++j) EXPECT_EQ(ReadServiceSettings().workers, 10);
        });
    }
    for (auto& t : readers) t.join();
    ASSERT_TRUE(WriteAll(MqConfPath(), "workers=0\nheartbeat=-3\n"));
    ReadServiceSettings();

    const std::string log = testutil::Capture("cat '" + LogDir() + "'/main-*.log");
    EXPECT_EQ(Count(log, "] setting workers=\"zero\" is not a number, 10 used\n"), 1) << log;
    EXPECT_EQ(Count(log, "] setting heartbeat=\"-3\" is out of range 0..3600, 0 used\n"), 1);
    EXPECT_EQ(Count(log, "] setting workers=\"0\" is out of range 1..1000, 10 used\n"), 1);
    EXPECT_EQ(Count(log, "] setting "), 3);
    // A CR LF file's flag is off, as before, and now says so.
    ASSERT_TRUE(WriteAll(MqConfPath(), "isolation=process\r\n"));
    EXPECT_FALSE(ReadServiceSettings().isolation_process);
    EXPECT_EQ(Count(testutil::Capture("cat '" + LogDir() + "'/main-*.log"),
                    "] setting isolation=\"process\\r\" is neither \"process\" nor \"thread\", "
                    "thread used\n"),
              1);
}

// settings_reload=on_change: an edit that changes the size, or a file renamed over the old one,
// counts from the next read; any edit within a second.
TEST(ServiceSettings, OnChangeSeesEveryEditAtTheNextRead) {
    TempDir home;
    SetHome(home.path());
    ASSERT_EQ(TempDir::Run("mkdir -p '" + home.file("cfg") + "' '" + home.file("log") + "'"), 0);
    SetSettingsReload(true);
    ASSERT_TRUE(WriteAll(MqConfPath(), "workers=3\n"));
    EXPECT_EQ(ReadServiceSettings().workers, 3);
    ASSERT_TRUE(WriteAll(MqConfPath(), "workers=40\n"));
    EXPECT_EQ(ReadServiceSettings().workers, 40);
    // The same size within the file system's clock tick may keep the change time: it is seen
    // within a second.
    ASSERT_TRUE(WriteAll(MqConfPath(), "workers=41\n"));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (ReadServiceSettings().workers != 41 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ReadServiceSettings().workers, 41);
    ASSERT_TRUE(WriteAll(home.file("new.conf"), "workers=42\n"));
    ASSERT_EQ(rename(home.file("new.conf").c_str(), MqConfPath().c_str()), 0);
    EXPECT_EQ(ReadServiceSettings().workers, 42);
    SetSettingsReload(false);
}

// The README's settings table as key -> {default, Read}. A row may name several keys with
// their defaults in the same order ("`userName`, `pwd` | `guest`, `quilb`"); "empty" is "".
std::map<std::string, std::pair<std::string, std::string>> ReadmeTable(int* rows) {
    std::istringstream in(testutil::ReadAll(std::string(TEST_SOURCE_DIR) + "/README.md"));
    const std::regex row(R"(^\| ([^|]+) \| ([^|]+) \| ([^|]+) \|)");
    const std::regex quoted("`([^`]*)`");
    std::map<std::string, std::pair<std::string, std::string>> table;
    std::string line;
    while (std::getline(in, line) && line != "### Settings") {}
    while (std::getline(in, line) && (line.empty() || line[0] != '#')) {
        std::smatch m;
        if (!std::regex_search(line, m, row) || m[1] == "Key" || m[1].str()[0] == '-') continue;
        const std::string keys = m[1], values = m[2], read = m[3];
        std::vector<std::string> defaults;
        for (std::sregex_iterator v(values.begin(), values.end(), quoted), end; v != end; ++v) {
            defaults.push_back((*v)[1]);
        }
        if (values == "empty") defaults.push_back("");
        size_t i = 0;
        for (std::sregex_iterator k(keys.begin(), keys.end(), quoted), end; k != end; ++k, ++i) {
            table[(*k)[1]] = {i < defaults.size() ? defaults[i] : "(no default)", read};
        }
        ++*rows;
    }
    return table;
}

TEST(SettingsTable, ReadmeListsEveryKeyWithItsDefaultAndWhenItIsRead) {
    int rows = 0;
    auto readme = ReadmeTable(&rows);
    ASSERT_GT(rows, 0) << "no settings table under \"### Settings\" in README.md";
    for (const SettingKey& k : SettingKeys()) {
        SCOPED_TRACE(k.key);
        auto row = readme.find(k.key);
        if (row == readme.end()) {
            ADD_FAILURE() << "README's settings table misses the key";
            continue;
        }
        EXPECT_EQ(row->second.first, k.value);
        EXPECT_EQ(row->second.second, SettingReadText(k.read));
        readme.erase(row);
    }
    for (const auto& extra : readme) ADD_FAILURE() << "README names an unknown key " << extra.first;
}

// The sample sets some keys away from their defaults; every other key is shown commented out
// at its default ("#workers=10"), so the file names every key the daemon reads.
TEST(SettingsTable, SampleNamesOnlyKnownKeysAndShowsTheOthersAtTheirDefaults) {
    const std::string sample = std::string(TEST_SOURCE_DIR) + "/packaging/mq.conf.sample";
    std::istringstream in(testutil::ReadAll(sample));
    const std::regex setting(R"(^(#?)([A-Za-z_]+)=(.*)$)");
    std::map<std::string, std::string> known;
    for (const SettingKey& k : SettingKeys()) known[k.key] = k.value;
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_match(line, m, setting)) continue;
        SCOPED_TRACE(line);
        auto key = known.find(m[2]);
        if (key == known.end()) {
            ADD_FAILURE() << "the sample names an unknown key (or names a key twice)";
            continue;
        }
        if (m[1] == "#") {
            EXPECT_EQ(m[3], key->second) << "a commented key shows its default";
        }
        known.erase(key);
    }
    for (const auto& missing : known) ADD_FAILURE() << "the sample misses " << missing.first;
    TempDir dir;  // the reader opens its file for writing too
    ASSERT_TRUE(WriteAll(dir.file("mq.conf"), testutil::ReadAll(sample)));
    std::vector<SettingNote> notes;
    ReadSettings(dir.file("mq.conf"), &notes);
    EXPECT_TRUE(notes.empty()) << notes[0].key;
}

// A file saved with CR LF line ends, blanks around a text, files that are not there: the
// daemon keeps a text as it stands and reads the files it names, so each is a problem.
TEST(CheckConfig, NamesTextsKeptAsTheyStandAndFilesThisUserCannotRead) {
    TempDir dir;
    const std::string missing = dir.file("missing.pem"), present = dir.file("pwd");
    ASSERT_TRUE(WriteAll(present, "secret\n"));
    const std::string user = getpwuid(getuid())->pw_name;
    const std::string unread = "\" cannot be read by " + user + " (No such file or directory)";
    const struct {
        std::string line, problem;  // "": none
    } cases[] = {
        {"server=127.0.0.1\r",
         "server=\"127.0.0.1\\r\" ends in a CR, which the daemon keeps (CR LF line ends?)"},
        {"queue=tolvane ", "queue=\"tolvane \" ends in a blank, which the daemon keeps"},
        {"userName= guest", "userName=\" guest\" begins with a blank, which the daemon keeps"},
        {"vhost=/\x01", "vhost=\"/\\x01\" holds a control character, which the daemon keeps"},
        {"pwd=guest\r", "pwd=(not shown) ends in a CR, which the daemon keeps (CR LF line ends?)"},
        {"pwd=a pass phrase ", ""},
        {"pwd_file=" + missing, "pwd_file=\"" + missing + unread},
        {"pwd_file=" + present, ""},
        {"tls_ca_file=" + missing, "tls_ca_file=\"" + missing + unread},
        {"tls_key_file=" + missing + "\r", "tls_key_file=\"" + missing +
                                               "\\r\" ends in a CR, which the daemon keeps "
                                               "(CR LF line ends?)"},
        // Handed over by systemd as the service starts, so not there for the check.
        {"tls_cert_file=/run/credentials/tolvane.service/client.pem", ""},
    };
    std::string conf, expected;
    int number = 0;
    for (const auto& c : cases) {
        conf += c.line + "\n";
        ++number;
        if (!c.problem.empty())
            expected += "mq.conf:" + std::to_string(number) + ": " + c.problem + "\n";
    }
    ASSERT_TRUE(WriteAll(dir.file("mq.conf"), conf));
    const SettingsCheck check = CheckSettingsFile(dir.file("mq.conf"));
    std::string found;
    for (const std::string& problem : check.problems) found += problem + "\n";
    EXPECT_EQ(found, expected);
}

// What the daemon reads right is no problem: atoi takes "5672\r" as 5672, and the check and
// the reader's notes say nothing of it.
TEST(CheckConfig, PassesNumbersAtoiReadsRightWithALineEndOfCrLf) {
    TempDir dir;
    ASSERT_TRUE(WriteAll(dir.file("mq.conf"), "port=5673\r\nframe_max=131072 \r\n"));
    std::vector<SettingNote> notes;
    const Settings s = ReadSettings(dir.file("mq.conf"), &notes);
    EXPECT_EQ(s.broker.port, 5673);
    EXPECT_EQ(s.broker.frame_max, 131072);
    EXPECT_TRUE(notes.empty()) << notes[0].key;
    const SettingsCheck check = CheckSettingsFile(dir.file("mq.conf"));
    EXPECT_EQ(check.settings, 2);
    EXPECT_TRUE(check.problems.empty()) << check.problems[0];
}

}  // namespace
