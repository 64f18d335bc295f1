// Wi-Fi configuration mode against the emulated unit (in-process), and the
// crash handler of the running program.
#include "ChildProcess.h"
#include "SentrelEmulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

namespace {

std::unique_ptr<SentrelEmulator> startUnit(const std::string& address)
{
    SentrelEmulator::Options o;
    o.address = address;
    o.udpPort = 0;
    o.wifiSsid = "ward-7";
    o.wifiPassword = "s3cret pass";
    o.wifiIpAddress = "192.168.50.23";
    o.wifiJoinDelay = 300ms;
    auto unit = std::make_unique<SentrelEmulator>(o);
    unit->start();
    return unit;
}

// Three Wi-Fi tokens win over a configuration path (which is not read), and
// -n changes nothing.
TEST(CliWifi, JoinSucceeds)
{
    auto unit = startUnit("127.0.6.10");
    TempDir dir;
    ChildProcess child(SN_BRIDGE_BINARY,
                       {"-n", "-f", "absent.xml", "-w", "127.0.6.10", "ward-7", "s3cret pass"},
                       dir.path());
    auto status = child.waitForExit(30s);
    ASSERT_TRUE(status.has_value()) << child.out() << child.err();
    EXPECT_EQ(*status, 0) << child.out() << child.err();

    std::string out = child.out();
    EXPECT_EQ(out.rfind("SN>>Configuration of the SN unit @ IP <127.0.6.10> for SSID <ward-7> and "
                        "password <s3cret pass>\n", 0),
              0u)
        << out;
    size_t wifiLine = out.find("\nWIFI configuration...\n");
    size_t report = out.find("\nSuccessful connection!\nssid: ward-7\nipAddress: 192.168.50.23\n"
                             "wifiConnected: true\nwifiStatus: Success\n"
                             "SN>WIFI configuration succeeded.\n");
    EXPECT_NE(wifiLine, std::string::npos) << out;
    EXPECT_NE(report, std::string::npos) << out;
    EXPECT_LT(wifiLine, report);
    EXPECT_EQ(out.find("SN>Reading configuration file"), std::string::npos);
    EXPECT_EQ(child.err(), "");

    EXPECT_EQ(unit->wifiState(), SentrelEmulator::WifiState::Connected);
    EXPECT_EQ(unit->messageCount("WifiCredentials"), 1u);
    EXPECT_EQ(dir.read("_lastconnectedIPAddress.txt"), "127.0.6.10");
}

TEST(CliWifi, WrongPasswordFails)
{
    auto unit = startUnit("127.0.6.11");
    TempDir dir;
    ChildProcess child(SN_BRIDGE_BINARY, {"--wifi", "127.0.6.11", "ward-7", "wrong"}, dir.path());
    auto status = child.waitForExit(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1) << child.out() << child.err();
    EXPECT_NE(child.out().find("\nWIFI configuration...\n"), std::string::npos) << child.out();
    EXPECT_EQ(child.out().find("Successful connection!"), std::string::npos);
    EXPECT_EQ(child.err(),
              "SN>ERROR: WIFI configuration failed; please revalidate your SSID and Password...\n");
    EXPECT_EQ(unit->wifiState(), SentrelEmulator::WifiState::Failed);
}

// The program waits 7 s for the join: a fatal signal then ends it through
// the crash handler with a short backtrace and status 1.
TEST(CliWifi, CrashHandlerWritesBacktraceAndExitsOne)
{
    auto unit = startUnit("127.0.6.12");
    for (int sig : {SIGSEGV, SIGABRT}) {
        TempDir dir;
        ChildProcess child(SN_BRIDGE_BINARY, {"-w", "127.0.6.12", "ward-7", "s3cret pass"},
                           dir.path());
        ASSERT_TRUE(child.waitForLine(Stream::Out, "WIFI configuration...", 20s)) << child.out();
        child.sendSignal(sig);
        auto status = child.waitForExit(10s);
        ASSERT_TRUE(status.has_value());
        EXPECT_FALSE(child.signalled()) << sig;
        EXPECT_EQ(*status, 1) << sig;
        std::string err = child.err();
        size_t frames = ChildProcess::count(err, "[0x");
        EXPECT_GE(frames, 1u) << err;
        EXPECT_LE(frames, 10u) << err;
        EXPECT_EQ(child.out().find("SN>WIFI configuration succeeded."), std::string::npos);
    }
}

} // namespace
