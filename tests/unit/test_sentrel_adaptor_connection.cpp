#include "AdaptorTestSupport.h"
#include "Log.h"

#include "AssertionFailureException.h"

#include <boost/system/system_error.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <memory>
#include <thread>

using testing::HasSubstr;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

using Access = SentrelAdaptor::TestAccess;

// Each test in its own folder, with no last connected address: loading from
// a folder without the file clears it.
struct FreshLastConnected : testing::Test {
    void SetUp() override
    {
        SentrelAdaptor().LoadLastConnectedIP();
        ASSERT_EQ(Access::lastConnectedIP(), "");
    }
    std::string fileText(const std::string& name) const { return dir.read(name); }
    testsupport::TempWorkingDirectory dir;
};

using SentrelAdaptorConnection = FreshLastConnected;

TEST_F(SentrelAdaptorConnection, AbsentUnitGivesTenPassesOfTenAttemptsThenFalse)
{
    Timing timing;
    timing.retryPause = milliseconds(20);
    timing.quietRetryReport = milliseconds(1);  // only an endless retry goes quiet
    SentrelAdaptor a(timing);
    snlog::Capture capture;
    const auto start = Clock::now();
    EXPECT_FALSE(a.initialize("serial", "127.0.1.50", "", "", false));
    const auto elapsed = Clock::now() - start;
    const std::string out = capture.out();
    EXPECT_THAT(out, testing::StartsWith("SN>Initialization of the Sentrel adapter...\n"));
    EXPECT_EQ(countOf(out, "Fixed IP configured: 127.0.1.50\n"), 10u);
    EXPECT_EQ(countOf(out, "Connecting to 127.0.1.50:14997...\n"), 100u);
    EXPECT_EQ(countOf(out, "SentrelAdaptor::connectIP: Error occured! Error code = system:111. "
                           "Message: Connection refused\n"),
              100u);
    EXPECT_EQ(countOf(out, "SN>Failed to find or could not connect to Sentrel on IP 127.0.1.50\n"), 10u);
    EXPECT_EQ(countOf(out, "SN>Unit still unreachable"), 0u);
    EXPECT_GE(elapsed, milliseconds(9 * 20));
    EXPECT_FALSE(a.checkConnection());
    EXPECT_FALSE(Access::streamThreadStarted(a));
    EXPECT_EQ(fileText("_lastconnectedIPAddress.txt"), "");
}

TEST_F(SentrelAdaptorConnection, RetryForeverReturnsOnlyOnceConnected)
{
    SentrelAdaptor a(quickTiming());
    std::unique_ptr<ScriptedUnitPeer> peer;
    std::thread late([&] {
        std::this_thread::sleep_for(milliseconds(300));
        peer = std::make_unique<ScriptedUnitPeer>("127.0.1.51");
    });
    snlog::Capture capture;
    const auto start = Clock::now();
    const bool ok = a.initialize("", "127.0.1.51", "", "", true);
    const auto elapsed = Clock::now() - start;
    late.join();
    const std::string out = capture.out();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(a.checkConnection());
    EXPECT_GE(elapsed, milliseconds(250));
    EXPECT_GT(countOf(out, "SN>Failed to find or could not connect to Sentrel on IP 127.0.1.51\n"), 0u);
    EXPECT_THAT(out, HasSubstr("Connected.\n"));
    EXPECT_TRUE(peer->waitForConnections(1));
}

TEST_F(SentrelAdaptorConnection, EmptyFixedAddressIsABrokenAssumption)
{
    for (const auto& range : {std::make_pair("10.0.0.1", "10.0.0.9"), std::make_pair("", "")}) {
        SentrelAdaptor a;
        snlog::Capture capture;
        try {
            a.initialize("", "", range.first, range.second, true);
            ADD_FAILURE() << "no exception";
        } catch (const AssertionFailureException& e) {
            EXPECT_THAT(e.what(), testing::StartsWith("We've got a problem, you reached here.: "
                                                      "Unreachable code assertion failed in file '"));
            EXPECT_THAT(e.what(), HasSubstr("SentrelAdaptor.cpp:"));
        }
    }
}

TEST_F(SentrelAdaptorConnection, LastConnectedAddressIsSavedAndLoaded)
{
    ScriptedUnitPeer peer("127.0.1.53");
    snlog::Capture capture;
    {
        SentrelAdaptor a;
        ASSERT_TRUE(a.initialize("", "127.0.1.53", "", "", false));
    }
    EXPECT_EQ(fileText("_lastconnectedIPAddress.txt"), "127.0.1.53");
    EXPECT_EQ(Access::lastConnectedIP(), "127.0.1.53");

    ::rename("_lastconnectedIPAddress.txt", "saved.txt");
    SentrelAdaptor b(quickTiming());
    b.LoadLastConnectedIP();  // no file: forgets the address
    ::rename("saved.txt", "_lastconnectedIPAddress.txt");
    capture.clear();
    EXPECT_FALSE(b.initialize("", "127.0.1.54", "", "", false));
    const std::string out = capture.out();
    EXPECT_THAT(out, testing::StartsWith("SN>Initialization of the Sentrel adapter...\n"
                                         "Loaded last connected IP 127.0.1.53\n"));
    // initialize does not connect to the loaded address.
    EXPECT_EQ(peer.connections(), 1);
}

TEST_F(SentrelAdaptorConnection, BadLastConnectedFilesLoadNothing)
{
    SentrelAdaptor a;
    for (const std::string& text : {std::string("127.0.1.53\n"), std::string(" 127.0.1.53"),
                                    std::string("unit.local"), std::string("::1"), std::string()}) {
        dir.write("_lastconnectedIPAddress.txt", "127.0.1.52");
        a.LoadLastConnectedIP();  // a good file first, so that clearing shows
        ASSERT_EQ(Access::lastConnectedIP(), "127.0.1.52");
        dir.write("_lastconnectedIPAddress.txt", text);
        snlog::Capture capture;
        a.LoadLastConnectedIP();
        EXPECT_EQ(capture.out(), "") << text;
        EXPECT_EQ(Access::lastConnectedIP(), "") << text;
    }
}

TEST_F(SentrelAdaptorConnection, AddressThatIsNotAnAddressRaises)
{
    SentrelAdaptor a;
    EXPECT_THROW(a.connectIP("", "not-an-address", 3), boost::system::system_error);
    EXPECT_THROW(a.initialize("", "300.1.2.3", "", "", false), boost::system::system_error);
}

TEST_F(SentrelAdaptorConnection, SecondInitializeStartsNoSecondThread)
{
    ScriptedUnitPeer peer("127.0.1.56");
    SentrelAdaptor a;
    snlog::Capture capture;
    ASSERT_TRUE(a.initialize("", "127.0.1.56", "", "", false));
    EXPECT_TRUE(Access::streamThreadStarted(a));
    // Starting the thread again would replace a running std::thread, which
    // ends the process: surviving these and streaming on is the check.
    ASSERT_TRUE(a.initialize("", "127.0.1.56", "", "", false));
    ASSERT_TRUE(a.initialize("", "127.0.1.56", "", "", false));
    EXPECT_TRUE(peer.waitForConnections(3));
    a.enableStreamVitals(true);
    a.sendHR_bpm(70);
    EXPECT_TRUE(peer.waitFor([](const std::vector<ScriptedUnitPeer::Received>& r) { return !r.empty(); }));
}

TEST_F(SentrelAdaptorConnection, UnitDroppingMidStreamClearsConnectedAndInitializeResumes)
{
    ScriptedUnitPeer peer("127.0.1.57");
    SentrelAdaptor a;
    snlog::Capture capture;
    ASSERT_TRUE(a.initialize("", "127.0.1.57", "", "", false));
    a.enableStreamVitals(true);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        for (int v = 40; !stop; v = v >= 200 ? 40 : v + 1) {
            if (!Access::vitalsPending(a))
                a.sendHR_bpm(v);
            std::this_thread::sleep_for(milliseconds(5));
        }
    });
    EXPECT_TRUE(peer.waitForFrames(3));
    peer.refuseConnections(true);
    peer.closeConnection();
    const auto until = Clock::now() + milliseconds(5000);
    while (a.checkConnection() && Clock::now() < until)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_FALSE(a.checkConnection());

    peer.refuseConnections(false);
    const std::size_t before = peer.receivedOfType("VitalsData").size();
    EXPECT_TRUE(a.initialize("", "127.0.1.57", "", "", false));
    EXPECT_TRUE(peer.waitFor(
        [&](const std::vector<ScriptedUnitPeer::Received>& r) { return r.size() >= before + 3; }));
    stop = true;
    feeder.join();
    const std::string out = capture.out();
    EXPECT_THAT(out, HasSubstr("SentrelAdaptor::writeToWire: Error occured!"));
    EXPECT_GT(peer.receivedOfType("VitalsData").size(), before);
}

TEST_F(SentrelAdaptorConnection, PingIsTheCalSelectMessageAndCloseEndsTheLink)
{
    ScriptedUnitPeer peer("127.0.1.58");
    SentrelAdaptor a;
    snlog::Capture capture;
    ASSERT_TRUE(a.connectIP("ignored", "127.0.1.58", 1));
    a.sendPing();
    ASSERT_TRUE(peer.waitForFrames(1));
    EXPECT_EQ(peer.received()[0].json,
              "{\"MessageType\":\"CalSelect\",\"Message\":{\"calName\":\"Default "
              "Temperature\",\"calType\":\"Temp\"}}");
    a.close();
    EXPECT_TRUE(a.checkConnection());  // close leaves the flag to the next write
    a.sendPing();
    EXPECT_FALSE(a.checkConnection());
    const std::string out = capture.out();
    EXPECT_THAT(out, HasSubstr("Connecting to 127.0.1.58:14997...\nConnected.\n"));
    EXPECT_THAT(out, HasSubstr("Closing socket.\n"));
    EXPECT_EQ(fileText("_lastconnectedIPAddress.txt"), "127.0.1.58");
}

}  // namespace

// A unit whose address takes no more connections (its queue is full, so the
// system drops the handshake as on a lost network) costs each attempt only
// the connect bound, not the system's two minutes.
TEST_F(SentrelAdaptorConnection, AnAttemptThatGetsNoAnswerEndsAtTheConnectBound)
{
    const std::string address = "127.0.1.52";
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(14997);
    ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at));
    ASSERT_EQ(0, ::listen(listener, 0));  // never accepted
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&at), sizeof at);
    }
    Timing timing;
    timing.retryPause = milliseconds(1);
    timing.unitConnectBound = milliseconds(20);
    SentrelAdaptor a(timing);
    snlog::Capture capture;
    EXPECT_FALSE(a.initialize("serial", address, "", "", false));
    EXPECT_GE(countOf(capture.out(), "Message: Connection timed out\n"), 90u) << capture.out().substr(0, 2000);
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}
