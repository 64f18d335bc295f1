// The status line of PatientSimulatorSentrel end to end: the program runs as a
// child process against the emulated unit and simulator servers in-process,
// over loopback (127.0.18.20-21); and the values its option refuses.
#include "ChildProcess.h"
#include "EmulatedPeers.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

namespace {

using testsupport::startedServers;
using testsupport::startedUnit;

class StatusProgram : public ::testing::Test {
protected:
    void startBridge(const std::string& address, const std::string& interval)
    {
        dir.write("bridge.xml", testsupport::bridgeConfigXml(address, address));
        bridge = std::make_unique<ChildProcess>(
            SN_BRIDGE_BINARY, std::vector<std::string>{"-f", dir.file("bridge.xml"), "--status-interval", interval},
            dir.path());
    }
    std::string output() const { return bridge->out() + "\n--- stderr ---\n" + bridge->err(); }

    TempDir dir{"sn-e2e-status"};
    std::unique_ptr<ChildProcess> bridge;
};

// Every second a line: retrying while the unit is away, then everything up.
TEST_F(StatusProgram, PrintsStatusLinesWhileTheBridgeRuns)
{
    const std::string address = "127.0.18.20";
    auto servers = startedServers(address, true, true, 2);
    startBridge(address, "1");
    ASSERT_TRUE(bridge->waitForLine(Stream::Out, "SN>Status: unit retrying since ", 10s)) << output();
    EXPECT_TRUE(bridge->waitForCount(Stream::Out, "SN>Status: unit retrying since ", 2, 10s)) << output();
    auto unit = startedUnit(address);
    ASSERT_TRUE(bridge->waitForLine(Stream::Out, "SN>Running...", 10s)) << output();
    EXPECT_TRUE(bridge->waitForLine(Stream::Out,
                                    "SN>Status: unit connected to 127.0.18.20; SIM connected; APP connected; "
                                    "patient 2; running; feature enabled; calibration off; ",
                                    10s))
        << output();
    EXPECT_TRUE(unit->waitForMessageCount("WaveformData", 1, 10s)) << output();
    EXPECT_FALSE(bridge->exited());
    // Each line stands whole on its own line.
    const std::string out = bridge->out();
    for (std::size_t at = out.find("SN>Status: "); at != std::string::npos; at = out.find("SN>Status: ", at + 1)) {
        EXPECT_TRUE(at == 0 || out[at - 1] == '\n') << out.substr(at > 40 ? at - 40 : 0, 80);
        const std::size_t end = out.find('\n', at);
        if (end != std::string::npos) {
            EXPECT_NE(out.substr(at, end - at).find(" since the last status"), std::string::npos)
                << out.substr(at, end - at);
        }
    }
}

// 0 switches the line off; the bridge runs as ever (here for some seconds:
// long enough for a few lines at the shortest interval that prints).
TEST_F(StatusProgram, ZeroPrintsNoStatusLines)
{
    const std::string address = "127.0.18.21";
    auto servers = startedServers(address, true, true, 2);
    startBridge(address, "0");
    auto unit = startedUnit(address);
    ASSERT_TRUE(bridge->waitForLine(Stream::Out, "SN>Running...", 10s)) << output();
    EXPECT_TRUE(unit->waitForMessageCount("WaveformData", 10, 20s)) << output();
    EXPECT_EQ(bridge->out().find("SN>Status: "), std::string::npos) << output();
    EXPECT_FALSE(bridge->exited());
}

// A value that is no count of seconds is a command-line error: status 1, the
// parser's text after "SN>ERROR>" on standard error and the usage after
// "SN>ERROR>" on standard output.
TEST(StatusOption, InvalidIntervalExitsOne)
{
    TempDir dir;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--status-interval", "abc"}, {"--status-interval=-1"}, {"--status-interval", "-5"},
          {"--status-interval", "1.5"}, {"--status-interval", "99999999999999999999"}, {"--status-interval"}}) {
        args.insert(args.begin(), {"-f", "absent.xml"});
        ChildProcess child(SN_BRIDGE_BINARY, args, dir.path());
        const auto status = child.waitForExit(20s);
        ASSERT_TRUE(status.has_value()) << args.back();
        EXPECT_EQ(*status, 1) << args.back();
        const std::string err = child.err();
        EXPECT_EQ(err.rfind("SN>ERROR>", 0), 0u) << err;
        EXPECT_NE(err.find("status-interval"), std::string::npos) << err;
        EXPECT_EQ(ChildProcess::count(err, "\n"), 1u) << err;
        EXPECT_EQ(child.out().rfind("SN>ERROR>PatientSimulatorSentrel Usage:\n", 0), 0u) << child.out();
        EXPECT_EQ(child.out().find("SN>Reading configuration file"), std::string::npos) << child.out();
    }
}

// The usage gains the option and keeps the other options' lines where they were.
TEST(StatusOption, UsageNamesItAndKeepsTheOtherLines)
{
    TempDir dir;
    ChildProcess child(SN_BRIDGE_BINARY, {"-h"}, dir.path());
    ASSERT_EQ(child.waitForExit(20s), std::optional<int>(0));
    const std::string out = child.out();
    EXPECT_NE(out.find("\n  -f [ --configfile ] arg Pathname to the configuration XML file\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("\n  --status-interval arg   Seconds between status lines while the bridge runs"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("(default 60, 0: none)\n"), std::string::npos) << out;
}

} // namespace
