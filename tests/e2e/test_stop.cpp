// SIGTERM and SIGINT end PatientSimulatorSentrel in order whatever it is
// doing: here while it waits for a unit that never answers (bridge mode and
// Wi-Fi mode), on 127.0.19.1-2 where nothing listens. One line says why it
// stops, the recording ends with its last line, and the status is 0.
#include "ChildProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

namespace {

std::string lastLine(const std::string& text)
{
    if (text.empty())
        return "";
    const std::size_t start = text.rfind('\n', text.size() - 2);
    return text.substr(start == std::string::npos ? 0 : start + 1);
}

void expectStopped(ChildProcess& program, const TempDir& dir, const std::string& signalName)
{
    EXPECT_EQ(program.waitForExit(2s), std::optional<int>(0)) << program.out() << program.err();
    EXPECT_EQ(ChildProcess::count(program.out(), "SN>Stopping: " + signalName + " received\n"), 1u) << program.out();
    EXPECT_EQ(program.err(), "");
    const std::string last = lastLine(dir.read("session.jsonl"));
    EXPECT_NE(last.find("\",\"type\":\"stopped\",\"reason\":\"" + signalName + "\"}\n"), std::string::npos) << last;
}

TEST(StopSignals, SigintEndsTheEndlessUnitRetry)
{
    TempDir dir("sn-e2e-stop");
    dir.write("bridge.xml", testsupport::bridgeConfigXml("127.0.19.1", "127.0.19.1"));
    ChildProcess bridge(SN_BRIDGE_BINARY, {"-f", dir.file("bridge.xml"), "--record", dir.file("session.jsonl")},
                        dir.path());
    // Past the first pass, in the retry.
    ASSERT_TRUE(bridge.waitForCount(Stream::Out, "SN>Failed to find or could not connect to Sentrel", 2, 10s))
        << bridge.out();
    bridge.sendSignal(SIGINT);
    expectStopped(bridge, dir, "SIGINT");
    EXPECT_EQ(bridge.out().find("SN>Running..."), std::string::npos);
}

TEST(StopSignals, SigtermEndsTheWifiMode)
{
    TempDir dir("sn-e2e-stop");
    ChildProcess wifi(SN_BRIDGE_BINARY, {"-w", "127.0.19.2", "ward", "secret", "--record", dir.file("session.jsonl")},
                      dir.path());
    ASSERT_TRUE(wifi.waitForLine(Stream::Out, "SN>Failed to find or could not connect to Sentrel", 10s)) << wifi.out();
    wifi.sendSignal(SIGTERM);
    expectStopped(wifi, dir, "SIGTERM");
}

} // namespace
