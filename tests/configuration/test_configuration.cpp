#include "Configuration.h"
#include "Log.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

class ConfigurationTest : public testing::Test {
protected:
    void writeFile(const std::string& text) { tmp.write("bridge.xml", text); }
    std::string readFile(const fs::path& p) const { return tmp.read(p.filename().string()); }

    // Reads and returns the result; console output lands in out/err.
    bool read(Configuration& c)
    {
        snlog::Capture capture;
        bool ok = c.readConfiguration();
        out = capture.out();
        err = capture.err();
        return ok;
    }

    testsupport::TempDir tmp{"sn-config"};
    fs::path dir{tmp.path()};
    std::string path{tmp.file("bridge.xml")};
    std::string out, err;
};

const char* const kFull = R"(<?xml version="1.0" encoding="utf-8"?>
<Sentrel>
  <SerialID>SN-0042</SerialID>
  <IPAddress>127.0.6.1</IPAddress>
  <SPO2Scale>7</SPO2Scale>
  <SimulatorIP>127.0.6.2</SimulatorIP>
  <RHMIP>127.0.6.3</RHMIP>
  <IPRangeStart>10.0.0.1</IPRangeStart>
  <IPRangeEnd>10.0.0.9</IPRangeEnd>
  <CO2Calibration>
    <Entry key="35" value="36.5"/>
    <Entry key="20" value="21"/>
  </CO2Calibration>
  <SPO2Calibration>
    <Entry key="98" value="97.25"/>
  </SPO2Calibration>
</Sentrel>
)";

std::string withBody(const std::string& body)
{
    return "<?xml version=\"1.0\"?>\n<Sentrel>" + body + "</Sentrel>\n";
}

const char* const kRequired =
    "<SerialID>S</SerialID><IPAddress>127.0.6.1</IPAddress><SPO2Scale>5</SPO2Scale>";
const char* const kServers = "<SimulatorIP>127.0.6.2</SimulatorIP><RHMIP>127.0.6.3</RHMIP>";
const char* const kRange = "<IPRangeStart>a</IPRangeStart><IPRangeEnd>b</IPRangeEnd>";
const char* const kTables = "<CO2Calibration><Entry key=\"1\" value=\"2\"/></CO2Calibration>"
                            "<SPO2Calibration><Entry key=\"3\" value=\"4\"/></SPO2Calibration>";

TEST_F(ConfigurationTest, ConstructionKeepsDefaultsAndDoesNotTouchFile)
{
    Configuration c(path.c_str());
    EXPECT_EQ(c.filePath, path);
    EXPECT_EQ(c.spo2Scale, 5);
    EXPECT_EQ(c.serialID, "");
    EXPECT_EQ(c.ipAddress, "");
    EXPECT_EQ(c.ipRangeStart, "");
    EXPECT_EQ(c.ipRangeEnd, "");
    EXPECT_EQ(c.simulatorIP, "127.0.0.1");
    EXPECT_EQ(c.rhmIP, "127.0.0.1");
    EXPECT_TRUE(c.co2Calibration.empty());
    EXPECT_TRUE(c.spo2Calibration.empty());
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(ConfigurationTest, ReadsEveryKey)
{
    writeFile(kFull);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c)) << err;
    EXPECT_EQ(out, "SN>Reading configuration file: " + path +
                       "\nSN>Configuration file read succesfully.\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(c.serialID, "SN-0042");
    EXPECT_EQ(c.ipAddress, "127.0.6.1");
    EXPECT_EQ(c.spo2Scale, 7);
    EXPECT_EQ(c.simulatorIP, "127.0.6.2");
    EXPECT_EQ(c.rhmIP, "127.0.6.3");
    EXPECT_EQ(c.ipRangeStart, "10.0.0.1");
    EXPECT_EQ(c.ipRangeEnd, "10.0.0.9");
    std::map<float, float> co2{{20.f, 21.f}, {35.f, 36.5f}};
    std::map<float, float> spo2{{98.f, 97.25f}};
    EXPECT_EQ(c.co2Calibration, co2);
    EXPECT_EQ(c.spo2Calibration, spo2);
}

TEST_F(ConfigurationTest, ElementTextIsTakenVerbatim)
{
    writeFile(withBody(std::string("<SerialID> S 1\n</SerialID><IPAddress>127.0.6.1</IPAddress>"
                                   "<SPO2Scale>5</SPO2Scale>") + kServers + kRange + kTables));
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c)) << err;
    EXPECT_EQ(c.serialID, " S 1\n");
}

TEST_F(ConfigurationTest, EmptyCalibrationSections)
{
    std::string sections = "<CO2Calibration></CO2Calibration><SPO2Calibration/>";
    writeFile(withBody(kRequired + sections + kServers + kRange));
    Configuration c(path.c_str());
    EXPECT_FALSE(read(c));
    EXPECT_EQ(err, "SN>ERROR>Missing \"Sentrel.SPO2Calibration\" into configuration XML\n");
    EXPECT_EQ(out, "SN>Reading configuration file: " + path + "\n");
    EXPECT_EQ(c.readError(), "Missing \"Sentrel.SPO2Calibration\" into configuration XML");

    // SpO2 present, CO2 empty: the CO2 message; the optional groups are not reached.
    writeFile(withBody(std::string(kRequired) +
                       "<CO2Calibration/><SPO2Calibration><Entry key=\"1\" value=\"1\"/>"
                       "</SPO2Calibration>" + kServers));
    Configuration d(path.c_str());
    EXPECT_FALSE(read(d));
    EXPECT_EQ(err, "SN>ERROR>Missing \"Sentrel.CO2Calibration\" into configuration XML\n");
    EXPECT_EQ(d.simulatorIP, "127.0.0.1");
    EXPECT_EQ(d.readError(), "Missing \"Sentrel.CO2Calibration\" into configuration XML");
    EXPECT_EQ(d.spo2Calibration.size(), 1u);
}

TEST_F(ConfigurationTest, MissingCalibrationSectionFailsTheRead)
{
    writeFile(withBody(std::string(kRequired) +
                       "<SPO2Calibration><Entry key=\"1\" value=\"1\"/></SPO2Calibration>"));
    Configuration c(path.c_str());
    EXPECT_FALSE(read(c));
    EXPECT_EQ(err.rfind("SN>ERROR>", 0), 0u) << err;
    EXPECT_NE(err.find("CO2Calibration"), std::string::npos) << err;
    EXPECT_EQ(err.substr(err.size() - 38), "\nUnable to read the configuration file");
}

TEST_F(ConfigurationTest, EntriesWithoutAttributesAndCommentsReadAsZero)
{
    writeFile(withBody(std::string(kRequired) + kServers + kRange +
                       "<CO2Calibration><!-- note --></CO2Calibration>"
                       "<SPO2Calibration><Entry/><Point key=\"x\" value=\"2\"/>"
                       "<Entry key=\"5\"/></SPO2Calibration>"));
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c)) << err;
    std::map<float, float> co2{{0.f, 0.f}};
    // Any tag counts; a key that is not a number reads as 0 (later wins).
    std::map<float, float> spo2{{0.f, 2.f}, {5.f, 0.f}};
    EXPECT_EQ(c.co2Calibration, co2);
    EXPECT_EQ(c.spo2Calibration, spo2);
}

TEST_F(ConfigurationTest, DuplicateKeyKeepsLaterValue)
{
    writeFile(withBody(std::string(kRequired) + kServers + kRange +
                       "<CO2Calibration><Entry key=\"1\" value=\"2\"/></CO2Calibration>"
                       "<SPO2Calibration><Entry key=\"90\" value=\"1\"/>"
                       "<Entry key=\"90.0\" value=\"3\"/></SPO2Calibration>"));
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    std::map<float, float> spo2{{90.f, 3.f}};
    EXPECT_EQ(c.spo2Calibration, spo2);
}

TEST_F(ConfigurationTest, MissingServerAddressesKeepDefaults)
{
    writeFile(withBody(std::string(kRequired) + kRange + kTables));
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    EXPECT_EQ(c.simulatorIP, "127.0.0.1");
    EXPECT_EQ(c.rhmIP, "127.0.0.1");
    EXPECT_EQ(err.rfind("SN>ERROR>", 0), 0u);
    const std::string tail = "\nUnable to read \"SimulatorIP or RHMIP\" from the configuration "
                             "file. Ignoring and using default of 127.0.0.1 for both.\n";
    ASSERT_GT(err.size(), tail.size());
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
    EXPECT_EQ(err.find('\n'), err.size() - tail.size()) << "exactly two lines: " << err;

    // SimulatorIP alone is stored; RHMIP keeps what it had.
    writeFile(withBody(std::string(kRequired) + kRange + kTables +
                       "<SimulatorIP>127.0.6.9</SimulatorIP>"));
    c.rhmIP = "127.0.6.8";
    ASSERT_TRUE(read(c));
    EXPECT_EQ(c.simulatorIP, "127.0.6.9");
    EXPECT_EQ(c.rhmIP, "127.0.6.8");
}

TEST_F(ConfigurationTest, RangeStartWithoutEndIsKept)
{
    writeFile(withBody(std::string(kRequired) + kServers + kTables +
                       "<IPRangeStart>10.1.1.1</IPRangeStart>"));
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    EXPECT_EQ(c.ipRangeStart, "10.1.1.1");
    EXPECT_EQ(c.ipRangeEnd, "");
    const std::string tail =
        "\nUnable to read \"IPRangeStart or IPRangeEnd\" from the configuration file. Ignoring.";
    ASSERT_GT(err.size(), tail.size());
    EXPECT_EQ(err.rfind("SN>ERROR>", 0), 0u);
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << "no newline after it";
    EXPECT_EQ(c.simulatorIP, "127.0.6.2");
}

TEST_F(ConfigurationTest, RepeatedReadMergesTables)
{
    writeFile(withBody(std::string(kRequired) + kServers + kRange +
                       "<CO2Calibration><Entry key=\"1\" value=\"2\"/><Entry key=\"7\" value=\"8\"/>"
                       "</CO2Calibration><SPO2Calibration><Entry key=\"3\" value=\"4\"/>"
                       "</SPO2Calibration>"));
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    writeFile(withBody(std::string(kRequired) + kServers + kRange +
                       "<CO2Calibration><Entry key=\"1\" value=\"5\"/></CO2Calibration>"
                       "<SPO2Calibration><Entry key=\"3\" value=\"4\"/></SPO2Calibration>"));
    ASSERT_TRUE(read(c));
    std::map<float, float> co2{{1.f, 5.f}, {7.f, 8.f}};
    EXPECT_EQ(c.co2Calibration, co2);
}

TEST_F(ConfigurationTest, RequiredKeyFailuresEndTheRead)
{
    const std::string tail = "\nUnable to read the configuration file";
    auto expectFailure = [&](const std::string& why) {
        EXPECT_EQ(err.rfind("SN>ERROR>", 0), 0u) << why << ": " << err;
        ASSERT_GT(err.size(), tail.size()) << why;
        EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << why;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << why << ": " << err;
        EXPECT_EQ(out.find("succesfully"), std::string::npos) << why;
    };
    // The reason kept is the error line's text after its prefix.
    auto expectReason = [&](const Configuration& c, const std::string& why) {
        EXPECT_FALSE(c.readError().empty()) << why;
        EXPECT_EQ("SN>ERROR>" + c.readError() + tail, err) << why;
    };

    {
        Configuration c((dir / "absent.xml").string().c_str());
        EXPECT_FALSE(read(c));
        expectFailure("missing file");
        expectReason(c, "missing file");
    }
    {
        writeFile("<Sentrel><SerialID>x</Sentrel>");
        Configuration c(path.c_str());
        EXPECT_FALSE(read(c));
        expectFailure("malformed XML");
        expectReason(c, "malformed XML");
    }
    {
        writeFile(withBody("<SerialID>S</SerialID><IPAddress>1</IPAddress><SPO2Scale>abc</SPO2Scale>" +
                           std::string(kTables)));
        Configuration c(path.c_str());
        EXPECT_FALSE(read(c));
        expectFailure("abc scale");
        expectReason(c, "abc scale");
        EXPECT_EQ(c.spo2Scale, 5);
    }
    {
        // Scale is stored before the missing serial ID ends the read.
        writeFile(withBody("<IPAddress>1</IPAddress><SPO2Scale>9</SPO2Scale>" + std::string(kTables)));
        Configuration c(path.c_str());
        EXPECT_FALSE(read(c));
        expectFailure("missing SerialID");
        expectReason(c, "missing SerialID");
        EXPECT_EQ(c.spo2Scale, 9);
        EXPECT_EQ(c.serialID, "");
    }
    {
        writeFile(withBody("<SerialID>S</SerialID><SPO2Scale>9</SPO2Scale>" + std::string(kTables)));
        Configuration c(path.c_str());
        EXPECT_FALSE(read(c));
        expectFailure("missing IPAddress");
        expectReason(c, "missing IPAddress");
        EXPECT_EQ(c.serialID, "S");
    }
    {
        writeFile("<Other/>");
        Configuration c(path.c_str());
        EXPECT_FALSE(read(c));
        expectFailure("wrong root");
        expectReason(c, "wrong root");
    }
}

TEST_F(ConfigurationTest, DeeplyNestedFileIsUnreadableNotACrash)
{
    // The XML reader recurses per level: this many levels would overflow the
    // stack if they reached it.
    std::string deep;
    for (int i = 0; i < 200000; ++i)
        deep += "<n>";
    writeFile(withBody(std::string(kRequired) + kTables + deep));
    Configuration c(path.c_str());
    EXPECT_FALSE(read(c));
    EXPECT_EQ(err, "SN>ERROR>" + path + "(2): nested deeper than 64 levels\n"
                   "Unable to read the configuration file");
    EXPECT_EQ(c.readError(), path + "(2): nested deeper than 64 levels");
    EXPECT_EQ(c.serialID, "");  // refused before anything was taken from it

    // Comfortably nested extras are still read past.
    std::string nested;
    for (int i = 0; i < 30; ++i)
        nested += "<n k='1'>";
    for (int i = 0; i < 30; ++i)
        nested += "</n>";
    writeFile(withBody(std::string(kRequired) + kTables + kServers + kRange + nested));
    Configuration ok(path.c_str());
    EXPECT_TRUE(read(ok)) << err;
    EXPECT_EQ(ok.readError(), "");

    // The library's own error for a file that cannot be opened stays.
    Configuration absent((dir / "absent.xml").string().c_str());
    EXPECT_FALSE(read(absent));
    EXPECT_EQ(err, "SN>ERROR>" + (dir / "absent.xml").string() +
                       ": cannot open file\nUnable to read the configuration file");
}

TEST_F(ConfigurationTest, BackupNameUsesLocalTime)
{
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = 14;
    t.tm_min = 5;
    t.tm_sec = 9;
    t.tm_isdst = -1;
    std::time_t when = std::mktime(&t);
    EXPECT_EQ(Configuration::backupFileName("bridge.xml", when),
              "bridge.xml.07-12-2026 14-05-09.bak");
    EXPECT_EQ(Configuration::backupFileName("/a/b.xml", when), "/a/b.xml.07-12-2026 14-05-09.bak");
}

std::vector<fs::path> backupsIn(const fs::path& dir)
{
    std::vector<fs::path> found;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        if (name.rfind("bridge.xml.", 0) == 0 && name.size() > 4 &&
            name.compare(name.size() - 4, 4, ".bak") == 0)
            found.push_back(e.path());
    }
    return found;
}

TEST_F(ConfigurationTest, WriteBacksUpByteForByteAndWritesExactForm)
{
    // Bytes an XML round trip would not keep: CR LF, a NUL, a comment, an unknown element.
    std::string original = std::string(kFull) + "<!-- x -->\r\n";
    original.push_back('\0');
    original += "\xff tail";
    writeFile(original);

    Configuration c(path.c_str());
    c.ipAddress = "127.0.6.1";
    c.simulatorIP = "127.0.6.2";
    c.rhmIP = "127.0.6.3";
    c.ipRangeStart = "";
    c.ipRangeEnd = "10.0.0.9";
    c.spo2Scale = -3;
    c.serialID = "SN&1";
    c.co2Calibration = {{45.f, 0.1f}, {1.f, 2.5f}};
    c.spo2Calibration = {};

    std::time_t before = std::time(nullptr);
    snlog::Capture capture;
    c.writeConfiguration();
    std::string printed = capture.out();
    std::time_t after = std::time(nullptr);

    auto backups = backupsIn(dir);
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(readFile(backups[0]), original);
    bool nameMatches = false;
    for (std::time_t t = before; t <= after; ++t)
        nameMatches |= backups[0].string() == Configuration::backupFileName(path, t);
    EXPECT_TRUE(nameMatches) << backups[0];

    EXPECT_EQ(readFile(path),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<Sentrel>\n"
              "    <IPAddress>127.0.6.1</IPAddress>\n"
              "    <SimulatorIP>127.0.6.2</SimulatorIP>\n"
              "    <RHMIP>127.0.6.3</RHMIP>\n"
              "    <IPRangeStart/>\n"
              "    <IPRangeEnd>10.0.0.9</IPRangeEnd>\n"
              "    <SPO2Scale>-3</SPO2Scale>\n"
              "    <SerialID>SN&amp;1</SerialID>\n"
              "    <CO2Calibration>\n"
              "        <Entry key=\"1\" value=\"2.5\"/>\n"
              "        <Entry key=\"45\" value=\"0.100000001\"/>\n"
              "    </CO2Calibration>\n"
              "    <SPO2Calibration/>\n"
              "</Sentrel>\n");
    EXPECT_EQ(printed, "SN>Configuration file has been written at: " + path + "\n" + path + "\n");
}

TEST_F(ConfigurationTest, WrittenFileReadsBack)
{
    Configuration c(path.c_str());
    c.ipAddress = "127.0.6.1";
    c.serialID = "S";
    c.spo2Scale = 12;
    c.ipRangeStart = "10.0.0.1";
    c.ipRangeEnd = "10.0.0.2";
    c.co2Calibration = {{0.1f, 1e-7f}, {123456.789f, -2.f}};
    c.spo2Calibration = {{97.f, 96.5f}};
    {
        snlog::Capture capture;
        c.writeConfiguration();
    }
    // Writing to a path that did not exist leaves no backup.
    EXPECT_TRUE(backupsIn(dir).empty());

    Configuration back(path.c_str());
    ASSERT_TRUE(read(back)) << err;
    EXPECT_EQ(err, "");
    EXPECT_EQ(back.ipAddress, c.ipAddress);
    EXPECT_EQ(back.serialID, c.serialID);
    EXPECT_EQ(back.spo2Scale, 12);
    EXPECT_EQ(back.ipRangeStart, c.ipRangeStart);
    EXPECT_EQ(back.ipRangeEnd, c.ipRangeEnd);
    EXPECT_EQ(back.simulatorIP, "127.0.0.1");
    EXPECT_EQ(back.co2Calibration, c.co2Calibration);  // 9 digits round-trip a float exactly
    EXPECT_EQ(back.spo2Calibration, c.spo2Calibration);
}

TEST_F(ConfigurationTest, WriteToUncreatablePathThrows)
{
    Configuration c((dir / "no-such-dir" / "bridge.xml").string().c_str());
    EXPECT_ANY_THROW(c.writeConfiguration());
}

} // namespace
