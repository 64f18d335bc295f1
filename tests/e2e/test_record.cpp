// The bridge program's session recording: PatientSimulatorSentrel runs with
// --record against the emulated unit and simulator servers on 127.0.11.40-43.
// What it recorded is what the unit received, up to a kill or to the last
// line of a stop; a recording target that stops reading or goes away never
// holds up the stream.
#include "ChildProcess.h"
#include "EmulatedPeers.h"
#include "SentrelEmulator.h"
#include "SimulatorEmulator.h"
#include "StalledFifo.h"
#include "TestSupport.h"

#include <boost/property_tree/json_parser.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

namespace {

struct Recorded {
    std::vector<std::string> messages;  // "message" members, as written
    std::vector<std::string> links;     // "event address"
    std::vector<std::string> stops;     // "reason"
};

Recorded readRecording(const std::string& path)
{
    Recorded r;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        boost::property_tree::ptree tree;
        std::istringstream json(line);
        boost::property_tree::read_json(json, tree);
        if (tree.get<std::string>("type") == "link") {
            r.links.push_back(tree.get<std::string>("event") + " " + tree.get<std::string>("address"));
            continue;
        }
        if (tree.get<std::string>("type") == "stopped") {
            r.stops.push_back(tree.get<std::string>("reason"));
            continue;
        }
        const std::string key = ",\"message\":";
        const std::size_t at = line.find(key);
        r.messages.push_back(line.substr(at + key.size(), line.size() - at - key.size() - 1));
    }
    return r;
}

TEST(BridgeRecording, RecordsEveryMessageTheUnitReceivedUntilKilled)
{
    const std::string address = "127.0.11.40";
    testsupport::TempDir dir("sn-e2e-record");
    dir.write("bridge.xml", testsupport::bridgeConfigXml(address, address));

    SimulatorEmulator::Options serverOptions;
    serverOptions.address = address;
    serverOptions.running = true;
    serverOptions.enabled = true;
    SimulatorEmulator servers(serverOptions);
    std::string error;
    ASSERT_TRUE(servers.start(&error)) << error;

    ChildProcess bridge(SN_BRIDGE_BINARY, {"-f", dir.file("bridge.xml"), "--record", dir.file("session.jsonl")},
                        dir.path());
    // The unit starts after the child, so that the child inherits no listener.
    SentrelEmulator::Options unitOptions;
    unitOptions.address = address;
    unitOptions.udpPort = 0;
    SentrelEmulator unit(unitOptions);
    unit.start();

    ASSERT_TRUE(bridge.waitForLine(Stream::Out, "SN>Running...", 10s)) << bridge.out() << bridge.err();
    ASSERT_TRUE(unit.waitForMessageCount("WaveformData", 20, 10s)) << bridge.out();
    bridge.sendSignal(SIGKILL);
    ASSERT_TRUE(bridge.waitForExit(10s).has_value());
    EXPECT_EQ(bridge.err().find("SN>ERROR>"), std::string::npos) << bridge.err();

    const Recorded recorded = readRecording(dir.file("session.jsonl"));
    ASSERT_TRUE(testsupport::eventually([&] { return unit.totalMessageCount() >= recorded.messages.size(); }, 5000ms));
    std::vector<std::string> received;
    for (const auto& m : unit.messageLog())
        received.push_back(m.json);
    // A kill can fall between a write and its line: at most the last message
    // may be missing; everything recorded is exactly what arrived, in order.
    ASSERT_LE(recorded.messages.size(), received.size());
    EXPECT_GE(recorded.messages.size() + 1, received.size());
    EXPECT_GE(recorded.messages.size(), 20u);
    for (std::size_t i = 0; i < recorded.messages.size(); ++i)
        ASSERT_EQ(recorded.messages[i], received[i]) << i;
    ASSERT_FALSE(recorded.links.empty());
    EXPECT_EQ(recorded.links.front(), "connected " + address);
}

TEST(BridgeRecording, UsageNamesTheOption)
{
    testsupport::TempDir dir("sn-e2e-record");
    ChildProcess help(SN_BRIDGE_BINARY, {"--help"}, dir.path());
    ASSERT_EQ(help.waitForExit(10s), 0);
    // The description wraps at the usage text's width.
    EXPECT_NE(help.out().find("--record arg            Append every message sent to the unit to FILE (JSON \n"
                              "                          lines)\n"),
              std::string::npos)
        << help.out();
}

// A SIGTERM mid-stream: the bridge ends within 2 s with status 0, and the
// recording holds what the unit received, then its last line.
TEST(BridgeRecording, SigtermEndsTheRecordingWithItsLastLine)
{
    const std::string address = "127.0.11.41";
    testsupport::TempDir dir("sn-e2e-record");
    dir.write("bridge.xml", testsupport::bridgeConfigXml(address, address));
    auto servers = testsupport::startedServers(address, true, true);
    ChildProcess bridge(SN_BRIDGE_BINARY, {"-f", dir.file("bridge.xml"), "--record", dir.file("session.jsonl")},
                        dir.path());
    auto unit = testsupport::startedUnit(address);
    ASSERT_TRUE(unit->waitForMessageCount("WaveformData", 20, 10s)) << bridge.out() << bridge.err();

    bridge.sendSignal(SIGTERM);
    EXPECT_EQ(bridge.waitForExit(2s), std::optional<int>(0)) << bridge.out() << bridge.err();
    EXPECT_EQ(ChildProcess::count(bridge.out(), "SN>Stopping: SIGTERM received\n"), 1u) << bridge.out();
    EXPECT_EQ(bridge.err().find("SN>ERROR>"), std::string::npos) << bridge.err();
    EXPECT_EQ(bridge.out().find("SN>Disconnected!!"), std::string::npos) << bridge.out();
    // The bridge closed its connection to the unit as it went.
    EXPECT_TRUE(testsupport::eventually([&] { return !unit->clientConnected(); }, 5000ms));

    const std::string text = dir.read("session.jsonl");
    const std::size_t lastStart = text.rfind('\n', text.size() - 2) + 1;
    const std::regex last(R"(\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z","type":"stopped","reason":"SIGTERM"\}\n)");
    EXPECT_TRUE(std::regex_match(text.substr(lastStart), last)) << text.substr(lastStart);
    const Recorded recorded = readRecording(dir.file("session.jsonl"));
    EXPECT_EQ(recorded.stops, std::vector<std::string>{"SIGTERM"});
    std::vector<std::string> received;
    for (const auto& m : unit->messageLog())
        received.push_back(m.json);
    EXPECT_EQ(recorded.messages, received);
}

// A recording target whose reader stops reading: the unit goes on receiving
// the stream, the status line counts the recording's dropped lines, and a
// stop still ends the process.
TEST(BridgeRecording, AStalledRecordingTargetNeverHoldsUpTheStream)
{
    const std::string address = "127.0.11.42";
    testsupport::TempDir dir("sn-e2e-record");
    dir.write("bridge.xml", testsupport::bridgeConfigXml(address, address));
    testsupport::StalledFifo fifo(dir.file("session.fifo"));
    auto servers = testsupport::startedServers(address, true, true);
    ChildProcess bridge(SN_BRIDGE_BINARY,
                        {"-f", dir.file("bridge.xml"), "--record", dir.file("session.fifo"), "--status-interval", "1"},
                        dir.path());
    auto unit = testsupport::startedUnit(address);
    // A page holds a few lines: with the recording in the stream's path the
    // stream would freeze long before this.
    EXPECT_TRUE(unit->waitForMessageCount("WaveformData", 40, 30s)) << bridge.out() << bridge.err();
    EXPECT_TRUE(bridge.waitForLine(Stream::Out, " recording lines dropped", 10s)) << bridge.out();
    EXPECT_EQ(bridge.err().find("SN>ERROR>"), std::string::npos) << bridge.err();
    bridge.sendSignal(SIGTERM);
    EXPECT_EQ(bridge.waitForExit(5s), std::optional<int>(0)) << bridge.out() << bridge.err();
}

// The reader has gone before the bridge first writes a line, before any
// simulator connection: one error line, and the bridge goes on.
TEST(BridgeRecording, ARecordingReaderGoneIsOneErrorLine)
{
    const std::string address = "127.0.11.43";
    testsupport::TempDir dir("sn-e2e-record");
    dir.write("bridge.xml", testsupport::bridgeConfigXml(address, address));
    testsupport::StalledFifo fifo(dir.file("session.fifo"));
    ChildProcess bridge(SN_BRIDGE_BINARY, {"-f", dir.file("bridge.xml"), "--record", dir.file("session.fifo")},
                        dir.path());
    // The recording is open once the unit is looked for.
    ASSERT_TRUE(bridge.waitForLine(Stream::Out, "SN>Failed to find or could not connect to Sentrel", 10s))
        << bridge.out() << bridge.err();
    fifo.close();
    auto unit = testsupport::startedUnit(address);
    ASSERT_TRUE(bridge.waitForLine(Stream::Err, "SN>ERROR>Recording to " + dir.file("session.fifo") + " stopped: ", 10s))
        << bridge.out() << bridge.err();
    EXPECT_TRUE(bridge.waitForLine(Stream::Out, "SN>Running...", 10s)) << bridge.out();
    EXPECT_TRUE(unit->waitForMessageCount("CalSelect", 2, 10s)) << bridge.out();
    EXPECT_FALSE(bridge.exited());
    EXPECT_EQ(ChildProcess::count(bridge.err(), "SN>ERROR>"), 1u) << bridge.err();
}

} // namespace
