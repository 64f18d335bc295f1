// Bridge mode over a rebuild: when the supervision loop gives up, the next
// bridge re-reads the configuration file; one that became unreadable in the
// meantime ends the process with status 1.
#include "ChildProcess.h"
#include "TestSupport.h"
#include "SentrelEmulator.h"
#include "SimulatorEmulator.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

namespace {

TEST(CliRebuild, UnreadableConfigurationAtRebuildEndsWithStatusOne)
{
    const std::string address = "127.0.6.20";
    SimulatorEmulator::Options so;
    so.address = address;
    so.running = true;
    so.enabled = true;
    SimulatorEmulator servers(so);
    std::string why;
    ASSERT_TRUE(servers.start(&why)) << why;

    // The unit drops every connection after its first frame: while the
    // simulation runs, each 2-second cycle finds it silent.
    SentrelEmulator::Options uo;
    uo.address = address;
    uo.udpPort = 0;
    uo.faults.closeAfterFrames = 1;
    SentrelEmulator unit(uo);
    unit.start();

    TempDir dir;
    dir.write("bridge.xml", testsupport::bridgeConfigXml(address, address));
    ChildProcess bridge(SN_BRIDGE_BINARY, {"-d", "-f", dir.file("bridge.xml")}, dir.path());
    auto output = [&] { return bridge.out() + "\n--- stderr ---\n" + bridge.err(); };
    ASSERT_TRUE(bridge.waitForLine(Stream::Out, "SN>Running...", 15s)) << output();
    EXPECT_EQ(bridge.out().rfind("SN>Debug mode enabled\n", 0), 0u) << output();

    dir.write("bridge.xml", "<Sentrel><SerialID>cut short");

    auto status = bridge.waitForExit(60s);
    ASSERT_TRUE(status.has_value()) << output();
    EXPECT_EQ(*status, 1) << output();
    EXPECT_FALSE(bridge.signalled());

    const std::string out = bridge.out();
    const std::string err = bridge.err();
    size_t disconnected = out.find("SN>Disconnected!!\n");
    ASSERT_NE(disconnected, std::string::npos) << output();
    // The debug flag reached the bridge: its destruction is reported.
    size_t destroyed = out.find("Destroying SimulatorSample object!\n", disconnected);
    size_t reread = out.find("SN>Reading configuration file: " + dir.file("bridge.xml") + "\n",
                             disconnected);
    EXPECT_NE(destroyed, std::string::npos) << output();
    EXPECT_NE(reread, std::string::npos) << output();
    EXPECT_LT(destroyed, reread);
    EXPECT_EQ(ChildProcess::count(out, "SN>Running..."), 1u) << output();
    EXPECT_NE(err.find("SN>ERROR>No answer from the Sentrel unit for too long. Disconnecting.\n"),
              std::string::npos)
        << output();
    EXPECT_NE(err.find("\nUnable to read the configuration file"
                       "SN>ERROR>Unable to read the configuration!"
                       "SN>ERROR>Unable to initialize the Sentrel interface module. Leaving now!\n"),
              std::string::npos)
        << output();
}

} // namespace
