// kalvo.ini: edits keep what a person wrote; bad lines and values are named, not fatal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/common/pass_report.h"
#include "core/config/kalvo_ini.h"
#include "core/config/mqtt_config.h"
#include "core/config/rules_ini.h"

namespace kalvo {
namespace {

class TempDir {
  public:
    TempDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "kalvo-config-XXXXXX";
        if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
        path_ = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

constexpr uint64_t kSensor = 0xC60000031F3C6B28;  // 28-0000031f3c6b, CRC 0xC6
const char kSensorId[] = "28-0000031f3c6b";

const char kWritten[] =
    "\xEF\xBB\xBF; kalvo.ini of the cellar\r\n"
    "[mqtt]\r\n"
    "host = broker.lan          ; the Pi in the hall\r\n"
    "user =\r\n"
    "colour = blue\r\n"
    "\r\n"
    "# sensors\r\n"
    "[Sensor 28-0000031F3C6B]\r\n"
    "offset = -0,25\r\n"
    "   alarm_high=30\r\n"
    "\r\n"
    "[unknown]\r\n"
    "x : 1\r\n"
    "\r\n"
    "[sensor 28-0000031f3c6b]\r\n"
    "silent_after = 120";

TEST(KalvoIni, EditsKeepCommentsOrderAndUnknownKeys) {
    KalvoIni ini;
    std::string error;
    ASSERT_TRUE(ini.Parse(kWritten, &error)) << error;
    EXPECT_EQ(ini.Text(), kWritten);
    EXPECT_EQ(ini.Get("mqtt", "host"), "broker.lan");
    EXPECT_EQ(ini.Get("mqtt", "user"), "");
    EXPECT_EQ(ini.Get("unknown", "x"), "1");
    EXPECT_EQ(ini.Get("mqtt", "port"), std::nullopt);
    EXPECT_EQ(ini.LineOf("Sensor 28-0000031F3C6B", "alarm_high"), 10);

    EXPECT_TRUE(ini.Set("mqtt", "host", "10.0.0.2"));       // in place, comment kept
    EXPECT_TRUE(ini.Set("mqtt", "user", "kalvo"));          // an empty value filled
    EXPECT_TRUE(ini.Set("mqtt", "port", "8883"));           // after the section's last key
    EXPECT_TRUE(ini.Set("alarm", "command", "/bin/true"));  // a new section at the end
    EXPECT_TRUE(ini.Remove("Sensor 28-0000031F3C6B", "offset"));
    EXPECT_FALSE(ini.Remove("mqtt", "absent"));
    EXPECT_EQ(ini.Text(),
              "\xEF\xBB\xBF; kalvo.ini of the cellar\r\n"
              "[mqtt]\r\n"
              "host = 10.0.0.2          ; the Pi in the hall\r\n"
              "user = kalvo\r\n"
              "colour = blue\r\n"
              "port = 8883\r\n"
              "\r\n"
              "# sensors\r\n"
              "[Sensor 28-0000031F3C6B]\r\n"
              "   alarm_high=30\r\n"
              "\r\n"
              "[unknown]\r\n"
              "x : 1\r\n"
              "\r\n"
              "[sensor 28-0000031f3c6b]\r\n"
              "silent_after = 120\r\n"
              "\r\n"
              "[alarm]\r\n"
              "command = /bin/true\r\n");

    // Values that would read back differently are refused and change nothing.
    const std::string before = ini.Text();
    for (const char* bad : {"a ;b", "two\nlines", " padded", ";x"})
        EXPECT_FALSE(ini.Set("mqtt", "host", bad)) << bad;
    EXPECT_FALSE(ini.Set("mqtt", "a=b", "1"));
    EXPECT_TRUE(ini.Set("mqtt", "host", "a;b"));  // no blank before ';': part of the value
    EXPECT_EQ(ini.Get("mqtt", "host"), "a;b");
    EXPECT_TRUE(ini.Set("mqtt", "host", "10.0.0.2"));
    EXPECT_EQ(ini.Text(), before);
}

TEST(KalvoIni, SaveReplacesTheFileAndLoadReadsItBack) {
    TempDir dir;
    const std::string path = KalvoIniPath(dir.File(""));
    EXPECT_EQ(path, dir.File("kalvo.ini"));

    KalvoIni missing;
    EXPECT_TRUE(missing.Load(path));  // no file yet: an empty document
    EXPECT_TRUE(missing.Sections().empty());

    WriteFile(path, kWritten);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    KalvoIni ini;
    ASSERT_TRUE(ini.Load(path));
    ASSERT_TRUE(ini.Set("mqtt", "port", "1884"));
    std::string error;
    ASSERT_TRUE(ini.Save(path, &error)) << error;
    EXPECT_EQ(ReadFile(path), ini.Text());
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // a password-bearing file stays private
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.File("")),
                            std::filesystem::directory_iterator()),
              1);  // no temporary file left behind

    KalvoIni again;
    ASSERT_TRUE(again.Load(path));
    EXPECT_EQ(again.Get("mqtt", "port"), "1884");
    EXPECT_FALSE(ini.Save(dir.File("no/such/folder/kalvo.ini"), &error));
    EXPECT_NE(error.find("no/such/folder"), std::string::npos) << error;
}

TEST(KalvoIni, MalformedLinesAreNamedAndTheRestIsKept) {
    struct Case {
        const char* text;
        int line;  // 0: well-formed
    };
    const std::string long_value = "host = " + std::string(300, 'x');
    const Case cases[] = {
        {"[mqtt\nhost = a\n", 1},
        {"[mqtt]\nhost = a\nnonsense\nport = 2\n", 3},
        {"; only a comment\n\n", 0},
        {"", 0},
    };
    for (const Case& c : cases) {
        KalvoIni ini;
        std::string error;
        EXPECT_EQ(ini.Parse(c.text, &error), c.line == 0) << c.text;
        if (c.line) {
            EXPECT_EQ(error.rfind("line " + std::to_string(c.line) + ":", 0), 0u) << error;
        }
        EXPECT_EQ(ini.Text(), c.text);  // kept as written, bad lines included
    }
    KalvoIni ini;
    EXPECT_FALSE(ini.Parse("[mqtt]\n" + long_value + "\nport = 2\n"));
    EXPECT_EQ(ini.Get("mqtt", "host"), std::nullopt);  // a line too long is not half read
    EXPECT_EQ(ini.Get("mqtt", "port"), "2");

    KalvoIni indented;
    ASSERT_TRUE(indented.Parse("[mqtt]\n  host = a\n  port = 2\n"));
    EXPECT_EQ(indented.Get("mqtt", "host"), "a");
    EXPECT_EQ(indented.Get("mqtt", "port"), "2");
}

TEST(MqttConfig, ReadsKeysDefaultsAndWarnsAboutBadValues) {
    KalvoIni empty;
    EXPECT_FALSE(ReadMqttConfig(empty).enabled);

    TempDir dir;
    WriteFile(dir.File("secret"), "s3cr3t\n");
    WriteFile(dir.File("kalvo.ini"),
              "[mqtt]\n"
              "host = localhost\n"
              "port = 99999\n"
              "node = Keller Pi.2\n"
              "user = kalvo\n"
              "password_file = secret\n"
              "discovery = maybe\n"
              "discovery_prefix = ha/#\n"
              "hots = typo\n");
    KalvoIni ini;
    ASSERT_TRUE(ini.Load(dir.File("kalvo.ini")));
    std::vector<std::string> warnings;
    const MqttConfig config = ReadMqttConfig(ini, &warnings);
    EXPECT_TRUE(config.enabled);
    EXPECT_EQ(config.host, "localhost");
    EXPECT_EQ(config.port, 1883);
    EXPECT_EQ(config.node, "keller_pi_2");
    EXPECT_EQ(config.password, "s3cr3t");
    EXPECT_TRUE(config.discovery);
    EXPECT_EQ(config.discovery_prefix, "homeassistant");
    ASSERT_EQ(warnings.size(), 5u);  // port, node, discovery, prefix, unknown key
    for (const std::string& warning : warnings)
        EXPECT_NE(warning.find(dir.File("kalvo.ini") + ": line "), std::string::npos) << warning;
    EXPECT_NE(warnings[0].find("line 9: [mqtt] hots"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[1].find("line 3: [mqtt] port"), std::string::npos) << warnings[1];

    ASSERT_TRUE(ini.Set("mqtt", "password_file", "missing"));
    ASSERT_TRUE(ini.Set("mqtt", "node", ""));
    warnings.clear();
    const MqttConfig other = ReadMqttConfig(ini, &warnings);
    EXPECT_EQ(other.password, "");
    EXPECT_EQ(other.node, DefaultNode());
    EXPECT_FALSE(other.node.empty());
    EXPECT_EQ(SanitiseNode("Pi-Ü_3"), "pi-__3");
}

TEST(Rules, ReadWriteRoundTripAndBadValues) {
    EXPECT_EQ(ParseW1Id(kSensorId), kSensor);
    EXPECT_EQ(ParseW1Id("28-0000031F3C6B"), kSensor);
    for (const char* bad : {"28-0000031f3c6", "280000031f3c6b", "28-0000031f3c6g", ""})
        EXPECT_EQ(ParseW1Id(bad), std::nullopt) << bad;

    KalvoIni ini;
    ASSERT_TRUE(ini.Parse(std::string("; hand-written\n") + "[sensor " + kSensorId +
                          "]\n"
                          "offset = -0,25   ; measured in ice water\n"
                          "alarm_low = cold\n"
                          "note = kept\n"
                          "[sensor 28-xyz]\n"
                          "offset = 1\n"
                          "[channel 3a-0000000e0004 B]\n"
                          "min_off = 300\n"
                          "min_on = -5\n"));
    std::vector<std::string> warnings;
    Rules rules = ReadRules(ini, &warnings);
    ASSERT_EQ(rules.sensors.count(kSensor), 1u);
    EXPECT_EQ(rules.sensors[kSensor].offset, -0.25);
    EXPECT_EQ(rules.sensors[kSensor].alarm_low, std::nullopt);
    const uint64_t ds2413 = *ParseW1Id("3a-0000000e0004");
    EXPECT_EQ((rules.channels[{ds2413, 1}]), (ChannelRules{300, 0}));
    EXPECT_EQ(warnings.size(), 4u);  // alarm_low, note, [sensor 28-xyz], min_on
    EXPECT_NE(warnings[0].find("line 4: [sensor " + std::string(kSensorId) + "] alarm_low"),
              std::string::npos)
        << warnings[0];

    // The dialog's edits: a limit added, a channel cleared, a new sensor and a command.
    const uint64_t other = *ParseW1Id("10-0008015e3b77");
    rules.sensors[kSensor].alarm_high = 30.5;
    rules.channels.clear();
    rules.sensors[other].silent_after = 120;
    rules.alarm_command = "/usr/local/bin/notify-me";
    ASSERT_TRUE(WriteRules(ini, rules));
    EXPECT_EQ(ini.Text(), std::string("; hand-written\n") + "[sensor " + kSensorId +
                              "]\n"
                              "offset = -0,25   ; measured in ice water\n"
                              "note = kept\n"
                              "alarm_high = 30.5\n"
                              "[sensor 28-xyz]\n"
                              "offset = 1\n"
                              "\n"
                              "[sensor 10-0008015e3b77]\n"
                              "silent_after = 120\n"
                              "\n"
                              "[alarm]\n"
                              "command = /usr/local/bin/notify-me\n");
    EXPECT_EQ(ReadRules(ini), rules);

    EXPECT_TRUE(WriteRules(ini, Rules{}));  // everything off: only what is not ours stays
    EXPECT_EQ(ini.Text(), std::string("; hand-written\n") + "[sensor " + kSensorId +
                              "]\n"
                              "note = kept\n"
                              "[sensor 28-xyz]\n"
                              "offset = 1\n");
    rules = Rules{};
    rules.alarm_command = "notify ;rm";
    EXPECT_FALSE(WriteRules(ini, rules));
}

}  // namespace
}  // namespace kalvo
