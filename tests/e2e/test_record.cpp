// The bridge program's session recording: PatientSimulatorSentrel runs with
// --record against the emulated unit and simulator servers on 127.0.11.40,
// and is killed mid-stream. What it recorded is what the unit received.
#include "ChildProcess.h"
#include "SentrelEmulator.h"
#include "SimulatorEmulator.h"
#include "TestSupport.h"

#include <boost/property_tree/json_parser.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

namespace {

struct Recorded {
    std::vector<std::string> messages;  // "message" members, as written
    std::vector<std::string> links;     // "event address"
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

} // namespace
