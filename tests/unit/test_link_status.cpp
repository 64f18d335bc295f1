// What the unit link tells of itself for the status line, through the real
// adaptor against the emulated unit on loopback (127.0.18.1-2): connected or
// not, the address, since when it is down, and a count of the frames written
// that matches what the unit received.
#include "AdaptorTestSupport.h"
#include "EmulatedPeers.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;
using SystemClock = std::chrono::system_clock;

namespace {

using testsupport::startedUnit;

bool initializeQuietly(SentrelAdaptor& adaptor, const std::string& address, bool retryForever = false)
{
    testing::internal::CaptureStdout();
    const bool ok = adaptor.initialize("", address, "", "", retryForever);
    testing::internal::GetCapturedStdout();
    return ok;
}

// Writes pings until a write finds the link broken (the first write after the
// peer went may still reach the socket's buffer); false when none did.
bool pingUntilDown(SentrelAdaptor& adaptor)
{
    testing::internal::CaptureStdout();
    const bool down = testsupport::eventually(
        [&] {
            adaptor.sendPing();
            return !adaptor.linkStatus().connected;
        },
        5000ms);
    testing::internal::GetCapturedStdout();
    return down;
}

TEST(LinkStatus, FollowsTheLinkDownUpDownAndUpAgainCountingEveryFrame)
{
    testsupport::TempWorkingDirectory workDir;
    const std::string address = "127.0.18.1";
    auto unit = startedUnit(address);

    const auto built = SystemClock::now();
    SentrelAdaptor adaptor(quickTiming());
    UnitLinkStatus s = adaptor.linkStatus();
    EXPECT_FALSE(s.connected);
    EXPECT_EQ(s.address, "");
    EXPECT_EQ(s.messagesWritten, 0u);
    EXPECT_GE(s.downSince, built);
    EXPECT_LE(s.downSince, SystemClock::now());

    ASSERT_TRUE(initializeQuietly(adaptor, address));
    s = adaptor.linkStatus();
    EXPECT_TRUE(s.connected);
    EXPECT_EQ(s.address, address);
    EXPECT_EQ(s.messagesWritten, 0u);

    // Pings, a request with its reply, and streamed vitals and waveforms all count.
    for (int i = 0; i < 3; ++i)
        adaptor.sendPing();
    EXPECT_EQ(adaptor.getJsonKeyValue(adaptor.sendRequestOtherStatus(), "MessageType"), "StatusData");
    adaptor.enableStreamVitals(true);
    adaptor.sendHR_bpm(72);
    std::vector<float> abp = {80, 90, 100, 110, 120};
    adaptor.sendABP_50Hz(abp);
    ASSERT_TRUE(unit->waitForMessageCount("WaveformData", 1, 5s));
    adaptor.enableStreamVitals(false);
    ASSERT_TRUE(testsupport::eventually([&] { return unit->totalMessageCount() == 6u; }, 5000ms))
        << unit->totalMessageCount();
    // The streaming thread counts a message once its write has returned,
    // which can be after the unit has read it.
    testsupport::eventually([&] { return adaptor.linkStatus().messagesWritten >= 6u; }, 5000ms);
    EXPECT_EQ(adaptor.linkStatus().messagesWritten, 6u);

    // The unit goes: the link is down from the write that found it gone.
    const auto beforeDown = SystemClock::now();
    unit->stop();
    ASSERT_TRUE(pingUntilDown(adaptor));
    const auto afterDown = SystemClock::now();
    s = adaptor.linkStatus();
    EXPECT_EQ(s.address, address);  // the last one
    EXPECT_GE(s.downSince, beforeDown);
    EXPECT_LE(s.downSince, afterDown);
    // Failed writes count nothing, and do not move the time it went down.
    const unsigned long long written = s.messagesWritten;
    testing::internal::CaptureStdout();
    adaptor.sendPing();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(adaptor.linkStatus().messagesWritten, written);
    EXPECT_EQ(adaptor.linkStatus().downSince, s.downSince);

    // Back again: connected, and the count goes on from where it was.
    auto back = startedUnit(address);
    ASSERT_TRUE(initializeQuietly(adaptor, address));
    s = adaptor.linkStatus();
    EXPECT_TRUE(s.connected);
    EXPECT_EQ(s.address, address);
    adaptor.sendPing();
    adaptor.sendPing();
    EXPECT_TRUE(back->waitForMessageCount("CalSelect", 2, 5s));
    EXPECT_EQ(adaptor.linkStatus().messagesWritten, written + 2);
}

// A link never up is down since its first connection attempt began, and
// stays so through the attempts that follow.
TEST(LinkStatus, NeverConnectedIsDownSinceTheFirstAttempt)
{
    testsupport::TempWorkingDirectory workDir;
    SentrelAdaptor adaptor(quickTiming());
    std::this_thread::sleep_for(20ms);  // set the first attempt apart from the construction
    const auto firstAttempt = SystemClock::now();
    ASSERT_FALSE(initializeQuietly(adaptor, "127.0.18.2"));  // nobody listens there
    const UnitLinkStatus s = adaptor.linkStatus();
    EXPECT_FALSE(s.connected);
    EXPECT_EQ(s.address, "");
    EXPECT_EQ(s.messagesWritten, 0u);
    EXPECT_GE(s.downSince, firstAttempt);
    ASSERT_FALSE(initializeQuietly(adaptor, "127.0.18.2"));
    EXPECT_EQ(adaptor.linkStatus().downSince, s.downSince);
}

} // namespace
