// The unit search by address range and by broadcast probe, on loopback only:
// ranges of 127.0.2.x, and local address lists handed in through the seam.
#include "AdaptorTestSupport.h"
#include "UdpAdaptor.h"
#include "EmulatedUnit.h"
#include "SentrelTestSupport.h"

#include <boost/system/system_error.hpp>


using namespace std::chrono_literals;
using sntest::linesStartingWith;
using Access = SentrelAdaptor::TestAccess;

namespace {

// A fresh folder as working directory, and the last successful address
// `last` ("" none) as the adaptor loads it from there.
struct SearchFrom {
    explicit SearchFrom(const std::string& last = "")
    {
        if (!last.empty())
            dir.write("_lastconnectedIPAddress.txt", last);
        testing::internal::CaptureStdout();
        SentrelAdaptor().LoadLastConnectedIP();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(Access::lastConnectedIP(), last);
    }
    std::string fileText(const std::string& name) const { return dir.read(name); }
    testsupport::TempWorkingDirectory dir;
};

const std::vector<std::string> kSearchLines = {"Trying last successful IP address ", "Scanning ",
                                               "SN>Pinging ", "Connected."};

}  // namespace

TEST(SentrelSearchRange, ScansInAscendingOrderAndStopsAtTheUnit)
{
    SearchFrom dir;
    SentrelEmulator unit(testsupport::unitOptions("127.0.2.42"));
    unit.start();
    SentrelAdaptor adaptor;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(adaptor.connectRange("", "127.0.2.40", "127.0.2.43"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(linesStartingWith(out, kSearchLines),
              (std::vector<std::string>{"Scanning 127.0.2.40", "Scanning 127.0.2.41", "Scanning 127.0.2.42",
                                        "Connected."}))
        << out;
    EXPECT_TRUE(adaptor.checkConnection());
    EXPECT_EQ(Access::lastConnectedIP(), "127.0.2.42");
    EXPECT_EQ(dir.fileText("_lastconnectedIPAddress.txt"), "127.0.2.42");
    EXPECT_TRUE(unit.waitForConnectionCount(1, 2s));
    EXPECT_EQ(adaptor.getJsonKeyValue(adaptor.sendRequestOtherStatus(), "MessageType"), "StatusData");
}

TEST(SentrelSearchRange, TriesTheLastSuccessfulAddressBeforeEachAddress)
{
    SearchFrom dir("127.0.2.44");  // nobody listens there now
    SentrelEmulator unit(testsupport::unitOptions("127.0.2.46"));
    unit.start();
    SentrelAdaptor adaptor;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(adaptor.connectRange("", "127.0.2.45", "127.0.2.47"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(linesStartingWith(out, kSearchLines),
              (std::vector<std::string>{"Trying last successful IP address 127.0.2.44", "Scanning 127.0.2.45",
                                        "Trying last successful IP address 127.0.2.44", "Scanning 127.0.2.46",
                                        "Connected."}))
        << out;
    EXPECT_EQ(Access::lastConnectedIP(), "127.0.2.46");

    // With the unit at the last address, no address of the range is scanned.
    SentrelAdaptor second;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(second.connectRange("", "127.0.2.48", "127.0.2.49"));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(linesStartingWith(out, kSearchLines),
              (std::vector<std::string>{"Trying last successful IP address 127.0.2.46", "Connected."}))
        << out;
    EXPECT_TRUE(unit.waitForConnectionCount(2, 2s));
}

TEST(SentrelSearchRange, NoUnitInTheRangeGivesFalse)
{
    SearchFrom dir;
    SentrelAdaptor adaptor;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(adaptor.connectRange("", "127.0.2.50", "127.0.2.52"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(linesStartingWith(out, {"Scanning "}).size(), 3u) << out;
    EXPECT_FALSE(adaptor.checkConnection());
    EXPECT_EQ(dir.fileText("_lastconnectedIPAddress.txt"), "");
}

TEST(SentrelSearchRange, BadAddressTextRaises)
{
    SearchFrom dir;
    SentrelAdaptor adaptor;
    EXPECT_THROW(adaptor.connectRange("", "127.0.2.x", "127.0.2.60"), boost::system::system_error);
    EXPECT_THROW(adaptor.connectRange("", "127.0.2.60", "::1"), boost::system::system_error);
}

TEST(SentrelSearchRangeDeathTest, RangeThatDoesNotRiseEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    SearchFrom dir;
    SentrelAdaptor adaptor;
    EXPECT_EXIT(adaptor.connectRange("", "127.0.2.61", "127.0.2.61"), testing::ExitedWithCode(1),
                "SN>ERROR>IP Range incorrect, end address > start address");
    EXPECT_EXIT(adaptor.connectRange("", "127.0.2.63", "127.0.2.62"), testing::ExitedWithCode(1),
                "IP Range incorrect");
}

TEST(SentrelSearchBroadcast, ProbesEachSlash16BroadcastAndOpensTheSideChannel)
{
    SearchFrom dir;
    SentrelEmulator unit(testsupport::unitOptions("127.1.255.255"));
    unit.start();
    SentrelAdaptor adaptor;
    testing::internal::CaptureStdout();
    // Not IPv4, then a network with no unit, then the unit's.
    EXPECT_TRUE(adaptor.connectUDP("", {"::1", "127.9.1.1", "127.1.2.3", "127.5.5.5"}, "127.0.7.40"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(linesStartingWith(out, kSearchLines),
              (std::vector<std::string>{"SN>Pinging 127.9.255.255", "SN>Pinging 127.1.255.255", "Connected."}))
        << out;
    EXPECT_TRUE(adaptor.checkConnection());
    EXPECT_EQ(Access::lastConnectedIP(), "127.1.255.255");
    EXPECT_TRUE(unit.waitForConnectionCount(1, 2s));

    // The side channel is up, receiving, with the empty host text: our own socket.
    UdpAdaptor* side = Access::udpLink(adaptor);
    ASSERT_NE(side, nullptr);
    std::string text = "hello@";
    boost::system::error_code ec;
    side->sendCommand(text, ec, 0);
    EXPECT_FALSE(ec);
    EXPECT_EQ(side->waitResponse(), "hello@");

    // A second successful probe replaces the side channel (same local port).
    EXPECT_TRUE(adaptor.connectUDP("", {"127.1.0.1"}, "127.0.7.40"));
    side = Access::udpLink(adaptor);
    ASSERT_NE(side, nullptr);
    side->sendCommand(text, ec, 0);
    EXPECT_EQ(side->waitResponse(), "hello@");
}

TEST(SentrelSearchBroadcast, NoUnitOnAnyNetworkGivesFalse)
{
    SearchFrom dir;
    SentrelAdaptor adaptor;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(adaptor.connectUDP("", {"127.9.2.2"}, "127.0.7.41"));
    EXPECT_FALSE(adaptor.connectUDP("", {}, "127.0.7.41"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(linesStartingWith(out, {"SN>Pinging "}), std::vector<std::string>{"SN>Pinging 127.9.255.255"});
    EXPECT_EQ(Access::udpLink(adaptor), nullptr);
    EXPECT_FALSE(adaptor.checkConnection());
}
