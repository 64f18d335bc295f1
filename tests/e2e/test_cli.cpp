// The command line of PatientSimulatorSentrel: usage, syntax errors, mode
// selection and the exits that need no peer.
#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

Outcome runBridge(const std::vector<std::string>& args, const TempDir& dir,
              std::chrono::milliseconds bound = 20s)
{
    ChildProcess child(SN_BRIDGE_BINARY, args, dir.path());
    auto status = child.waitForExit(bound);
    Outcome r;
    r.out = child.out();
    r.err = child.err();
    EXPECT_TRUE(status.has_value()) << "still running; out: " << r.out << " err: " << r.err;
    r.status = status.value_or(-1);
    EXPECT_FALSE(child.signalled());
    return r;
}

void expectUsage(const std::string& text)
{
    EXPECT_NE(text.find("PatientSimulatorSentrel Usage:\n"), std::string::npos) << text;
    for (const char* piece :
         {"-h [ --help ]", "Print usage message", "-d [ --debug ]", "Print debug info",
          "-n [ --nogui ]", "Hide the console, Windows only", "-f [ --configfile ] arg",
          "Pathname to the configuration XML file", "-w [ --wifi ] arg",
          "Configure WIFI settings (arg: SN_IP WIFI_SSID", "WIFI_PWD)"})
        EXPECT_NE(text.find(piece), std::string::npos) << piece << " in " << text;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
}

TEST(Cli, HelpPrintsUsageAndWins)
{
    TempDir dir;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-h"}, {"--help"}, {"-h", "-w", "127.0.6.9"},
          {"-f", "absent.xml", "-d", "-h"}}) {
        Outcome r = runBridge(args, dir);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.out.rfind("\nPatientSimulatorSentrel Usage:\n", 0), 0u) << r.out;
        expectUsage(r.out);
        EXPECT_EQ(r.out.find("SN>"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

TEST(Cli, SyntaxErrorExitsOneWithBothLines)
{
    TempDir dir;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--bogus"}, {"-f"}, {"-f", "a.xml", "-f", "b.xml"}, {"-w"}}) {
        Outcome r = runBridge(args, dir);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err.rfind("SN>ERROR>", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_GT(r.err.size(), std::string("SN>ERROR>\n").size()) << "the parser's text";
        EXPECT_EQ(r.out.rfind("SN>ERROR>PatientSimulatorSentrel Usage:\n", 0), 0u) << r.out;
        expectUsage(r.out);
    }
    Outcome unknown = runBridge({"--bogus"}, dir);
    EXPECT_NE(unknown.err.find("bogus"), std::string::npos) << unknown.err;
}

TEST(Cli, MissingConfigurationPath)
{
    TempDir dir;
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"-n"}, {"--nogui"}}) {
        Outcome r = runBridge(args, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "SN>Missing configuration file path in parameters\n");
        EXPECT_EQ(r.out.rfind("PatientSimulatorSentrel Usage:\n", 0), 0u) << r.out;
        expectUsage(r.out);
    }
    Outcome debug = runBridge({"-d"}, dir);
    EXPECT_EQ(debug.status, 1);
    EXPECT_EQ(debug.out.rfind("SN>Debug mode enabled\nPatientSimulatorSentrel Usage:\n", 0), 0u)
        << debug.out;
}

TEST(Cli, WrongNumberOfWifiTokens)
{
    TempDir dir;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-w", "127.0.6.9", "ssid"},
          {"-w", "127.0.6.9", "ssid", "pw", "extra"},
          {"--wifi", "127.0.6.9", "-f", "c.xml"}}) {
        Outcome r = runBridge(args, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "SN>Incorrect parameters for wifi configuration mode\n");
        EXPECT_EQ(r.out.rfind("PatientSimulatorSentrel Usage:\n", 0), 0u) << r.out;
        expectUsage(r.out);
        EXPECT_EQ(r.out.find("SN>Reading configuration file"), std::string::npos);
    }
}

TEST(Cli, UnreadableConfigurationEndsStartUp)
{
    TempDir dir;
    dir.write("broken.xml", "<Sentrel><SPO2Scale>abc</SPO2Scale></Sentrel>");
    for (const char* name : {"absent.xml", "broken.xml"}) {
        Outcome r = runBridge({"-f", name}, dir);
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_NE(r.out.find(std::string("SN>Reading configuration file: ") + name + "\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.err.find("Unable to read the configuration file"
                             "SN>ERROR>Unable to read the configuration!"
                             "SN>ERROR>Unable to initialize the Sentrel interface module. Leaving now!\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.out.find("SN>Running..."), std::string::npos);
    }
}

// An exception out of the bridge's start-up (here the adaptor refusing an
// address text) ends the process with its text and status 1.
TEST(Cli, ExceptionInBridgeModeEndsWithStatusOne)
{
    TempDir dir;
    dir.write("bridge.xml", testsupport::bridgeConfigXml("not-an-address", "127.0.6.4"));
    Outcome r = runBridge({"-f", "bridge.xml"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("SN>Configuration file read succesfully.\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.rfind("SN>ERROR>", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out.find("SN>Running..."), std::string::npos);
}

// Nothing listens on this loopback address: 10 passes of 10 refused
// attempts, then the adaptor gives up.
TEST(Cli, WifiModeWithAbsentUnitGivesUp)
{
    TempDir dir;
    Outcome r = runBridge({"-w", "127.0.6.3", "ward", "secret"}, dir, 60s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("SN>>Configuration of the SN unit @ IP <127.0.6.3> for SSID <ward> and "
                          "password <secret>\n", 0),
              0u)
        << r.out;
    EXPECT_EQ(ChildProcess::count(r.out, "SN>Failed to find or could not connect to Sentrel on IP "
                                         "127.0.6.3\n"),
              10u)
        << r.out;
    EXPECT_EQ(ChildProcess::count(r.out, "Connecting to 127.0.6.3:14997...\n"), 100u);
    EXPECT_EQ(r.out.find("WIFI configuration..."), std::string::npos);
    EXPECT_EQ(r.err, "SN>Unable to initialize the Sentrel adapter. Leaving now!\n");
    EXPECT_FALSE(std::ifstream(dir.file("_lastconnectedIPAddress.txt")).good());
}

TEST(Cli, WifiModeWithInvalidAddressReportsTheError)
{
    TempDir dir;
    Outcome r = runBridge({"-w", "not-an-address", "ward", "secret"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("SN>ERROR>", 0), 0u) << r.err;
    EXPECT_EQ(r.out.find("WIFI configuration..."), std::string::npos);
}

} // namespace
