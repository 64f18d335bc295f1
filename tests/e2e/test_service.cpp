// PatientSimulatorSentrel as a systemd service, end to end: the program runs
// as a child process with a stand-in notification socket (NOTIFY_SOCKET)
// against the emulated unit and simulator servers in-process, over loopback
// (127.0.19.1); and its configuration check (127.0.19.2), which must open
// no connection.
#include "ChildProcess.h"
#include "EmulatedPeers.h"
#include "NotifyListener.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;
using testsupport::NotifyListener;

namespace {

// While the unit is away the start is extended (never READY=1); once it
// answers: READY=1, the status line as STATUS=, and WATCHDOG=1 at half the
// watchdog period while the bridge's loops move; SIGTERM: STOPPING=1.
TEST(ServiceProgram, NotifiesStartReadinessStatusAndWatchdog)
{
    const std::string address = "127.0.19.1";
    NotifyListener listener;
    TempDir dir{"sn-e2e-service"};
    dir.write("bridge.xml", testsupport::bridgeConfigXml(address, address));
    // The child inherits them; this test process runs this test only.
    ::setenv("NOTIFY_SOCKET", listener.path().c_str(), 1);
    ::setenv("WATCHDOG_USEC", "6000000", 1);  // a look every 3 s, longer than a supervision cycle
    auto servers = testsupport::startedServers(address, true, true, 2);
    ChildProcess bridge(SN_BRIDGE_BINARY, {"-f", dir.file("bridge.xml"), "--status-interval", "1"}, dir.path());
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    const auto output = [&] { return bridge.out() + "\n--- stderr ---\n" + bridge.err(); };

    EXPECT_TRUE(listener.waitFor("EXTEND_TIMEOUT_USEC=6000000\nWATCHDOG=1", 20s)) << output();
    EXPECT_TRUE(testsupport::eventually(
        [&] { return listener.indexOf("STATUS=SN>Status: unit retrying since ") != NotifyListener::npos; }, 20s,
        50ms));
    EXPECT_EQ(listener.indexOf("READY=1"), NotifyListener::npos);

    auto unit = testsupport::startedUnit(address);
    ASSERT_TRUE(listener.waitFor("READY=1", 20s)) << output();
    EXPECT_TRUE(bridge.waitForLine(Stream::Out, "SN>Running...", 5s)) << output();
    const std::size_t ready = listener.indexOf("READY=1");
    EXPECT_TRUE(testsupport::eventually(
        [&] { return listener.indexOf("STATUS=SN>Status: unit connected to 127.0.19.1; SIM connected", ready) !=
                     NotifyListener::npos; },
        20s, 50ms))
        << output();
    EXPECT_TRUE(listener.waitFor("WATCHDOG=1", 20s, ready)) << output();
    EXPECT_EQ(listener.indexOf("EXTEND_TIMEOUT_USEC=", ready), NotifyListener::npos);
    EXPECT_FALSE(bridge.exited());

    // The stop: STOPPING=1 when it begins, then the clean end.
    EXPECT_EQ(listener.indexOf("STOPPING=1"), NotifyListener::npos);
    bridge.sendSignal(SIGTERM);
    EXPECT_TRUE(listener.waitFor("STOPPING=1", 20s)) << output();
    EXPECT_EQ(bridge.waitForExit(20s), std::optional<int>(0)) << output();
}

// ---------------------------------------------------------------------------
// --check-config

// Listens on the unit's and both servers' ports at one address, to see that
// nothing connects.
class Listeners {
public:
    explicit Listeners(const std::string& address)
    {
        for (unsigned short port : {14997, 55580, 55557}) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            const int one = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_port = htons(port);
            ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 8) != 0)
                throw std::runtime_error("listener on port " + std::to_string(port));
            fds.push_back(fd);
        }
    }
    ~Listeners()
    {
        for (int fd : fds)
            ::close(fd);
    }
    // Whether any port has a connection waiting.
    bool anyConnection() const
    {
        for (int fd : fds) {
            const int c = ::accept(fd, nullptr, nullptr);
            if (c >= 0) {
                ::close(c);
                return true;
            }
        }
        return false;
    }

private:
    std::vector<int> fds;
};

struct Checked {
    std::optional<int> status;
    std::string out, err;
};

Checked checkConfig(const TempDir& dir, const std::vector<std::string>& args)
{
    ChildProcess child(SN_BRIDGE_BINARY, args, dir.path());
    Checked c;
    c.status = child.waitForExit(20s);
    c.out = child.out();
    c.err = child.err();
    return c;
}

// A usable file: every setting printed as read, status 0, no connection.
TEST(CheckConfig, PrintsEverySettingOfAUsableFileAndConnectsNowhere)
{
    const std::string address = "127.0.19.2";
    Listeners listeners(address);
    TempDir dir{"sn-e2e-check"};
    dir.write("bridge.xml", testsupport::bridgeConfigXml(address, address));
    const Checked c = checkConfig(dir, {"--check-config", "-f", dir.file("bridge.xml")});
    ASSERT_EQ(c.status, std::optional<int>(0)) << c.out << c.err;
    EXPECT_EQ(c.err, "");
    for (const std::string& line :
         {"SN>Reading configuration file: " + dir.file("bridge.xml"), std::string("SN>Configuration file read succesfully."),
          "SN>Check: IPAddress \"" + address + "\"", "SN>Check: SimulatorIP \"" + address + "\"",
          "SN>Check: RHMIP \"" + address + "\"", std::string("SN>Check: IPRangeStart \"\""),
          std::string("SN>Check: IPRangeEnd \"\""), std::string("SN>Check: SerialID \"EMU0001\""),
          std::string("SN>Check: SPO2Scale 5"), std::string("SN>Check: CO2Calibration 1 entry: 10 -> 200"),
          std::string("SN>Check: SPO2Calibration 1 entry: 50 -> 300"),
          "SN>Check: " + dir.file("bridge.xml") + " is a usable configuration"})
        EXPECT_NE(c.out.find(line + "\n"), std::string::npos) << line << "\n" << c.out;
    EXPECT_FALSE(listeners.anyConnection());
}

// Each broken file: status 1, the reason on standard error, every line whole.
TEST(CheckConfig, NamesTheReasonOfABrokenFile)
{
    TempDir dir{"sn-e2e-check"};
    std::string deep = "<Sentrel>";
    for (int i = 0; i < 100; ++i)
        deep += "<a>";
    const std::string good = testsupport::bridgeConfigXml("127.0.19.2", "127.0.19.2");
    std::string noSerial = good;
    noSerial.erase(noSerial.find("    <SerialID>"), std::string("    <SerialID>EMU0001</SerialID>\n").size());
    std::string badServer = good;
    badServer.replace(badServer.find("<RHMIP>127.0.19.2"), 17, "<RHMIP>rhm.local");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {noSerial, "SN>ERROR>Check: No such node (Sentrel.SerialID)\n"},
        {"<Sentrel><IPAddress>1.2.3.4</IPAdd", "): expected >\n"},
        {deep, "): nested deeper than 64 levels\n"},
        {badServer, "SN>ERROR>Check: RHMIP \"rhm.local\" is no IPv4 address\n"},
    };
    for (const auto& [text, reason] : cases) {
        dir.write("bridge.xml", text);
        const Checked c = checkConfig(dir, {"--check-config", "-f", dir.file("bridge.xml")});
        EXPECT_EQ(c.status, std::optional<int>(1)) << reason << c.out << c.err;
        EXPECT_NE(c.err.find(reason), std::string::npos) << reason << "\n" << c.err;
        EXPECT_NE(c.err.find("SN>ERROR>Check: " + dir.file("bridge.xml") + " is not usable: 1 problem\n"),
                  std::string::npos)
            << c.err;
        EXPECT_NE(c.out.find("SN>Check: IPAddress "), std::string::npos) << c.out;
        EXPECT_EQ(c.err.back(), '\n');
    }
}

// It checks bridge mode's file: with Wi-Fi mode, or without a file, it is a usage error.
TEST(CheckConfig, IsAUsageErrorWithAnotherModeOrWithoutAFile)
{
    TempDir dir{"sn-e2e-check"};
    Checked c = checkConfig(dir, {"--check-config", "-w", "127.0.19.3", "ssid", "password"});
    EXPECT_EQ(c.status, std::optional<int>(1));
    EXPECT_EQ(c.err.rfind("SN>ERROR>--check-config", 0), 0u) << c.err;
    EXPECT_EQ(c.out.rfind("SN>ERROR>PatientSimulatorSentrel Usage:\n", 0), 0u) << c.out;
    EXPECT_EQ(c.out.find("Configuration of the SN unit"), std::string::npos) << c.out;

    c = checkConfig(dir, {"--check-config"});
    EXPECT_EQ(c.status, std::optional<int>(1));
    EXPECT_EQ(c.err, "SN>Missing configuration file path in parameters\n");
}

}  // namespace
