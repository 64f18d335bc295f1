#include "AdaptorTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>

using testing::HasSubstr;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

TEST(SentrelAdaptorSetters, NotConnectedStoresNothingButConsumesSamples)
{
    SentrelAdaptor a;
    a.sendHR_bpm(80);
    a.enableSPO2Probe(true);
    std::vector<float> abp = {1, 2, 3, 4, 5, 6, 7};
    a.sendABP_50Hz(abp);
    EXPECT_EQ(abp.size(), 2u);
    EXPECT_TRUE(SentrelAdaptor::TestAccess::takePending(a).empty());
}

// Keeps one new heart rate pending whenever the previous one went out.
class Feeder {
public:
    explicit Feeder(SentrelAdaptor& a) : a_(a), thread_([this] { run(); }) {}
    ~Feeder()
    {
        stop_ = true;
        thread_.join();
    }

private:
    void run()
    {
        int v = 30;
        while (!stop_) {
            if (!SentrelAdaptor::TestAccess::vitalsPending(a_))
                a_.sendHR_bpm(v = v >= 290 ? 30 : v + 1);
            std::this_thread::yield();
        }
    }
    SentrelAdaptor& a_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::vector<Clock::time_point> arrivals(const ScriptedUnitPeer& peer, const std::string& type,
                                        Clock::time_point from = Clock::time_point::min())
{
    std::vector<Clock::time_point> out;
    const std::string marker = "{\"MessageType\":\"" + type + "\"";
    for (const auto& r : peer.received())
        if (r.at >= from && r.json.compare(0, marker.size(), marker) == 0)
            out.push_back(r.at);
    return out;
}

TEST(SentrelAdaptorStreaming, NothingGoesWhileOffPendingGoesAtTheNextPassOnceOn)
{
    testsupport::TempWorkingDirectory dir;
    ScriptedUnitPeer peer("127.0.1.30");
    SentrelAdaptor a;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(a.initialize("", "127.0.1.30", "", "", false));
    testing::internal::GetCapturedStdout();
    a.sendHR_bpm(88);
    std::vector<float> abp = {1, 2, 2, 2, 2};
    a.sendABP_50Hz(abp);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_TRUE(peer.received().empty());

    a.enableStreamVitals(true);
    ASSERT_TRUE(peer.waitForFrames(2, milliseconds(2000)));
    const auto frames = peer.received();
    EXPECT_THAT(frames[0].json, testing::StartsWith("{\"MessageType\":\"VitalsData\""));
    EXPECT_THAT(frames[0].json, HasSubstr("\"hr\":\"88\""));
    EXPECT_THAT(frames[1].json, HasSubstr("\"abp\":[1,2,4]"));
    // Each message goes once.
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(peer.received().size(), 2u);
}

// A pass already waiting for its turn when streaming goes off sends
// nothing; what it would have sent goes once streaming is on again.
TEST(SentrelAdaptorStreaming, SwitchedOffWhileAPassWaitsItsTurnNothingGoesUntilOn)
{
    testsupport::TempWorkingDirectory dir;
    ScriptedUnitPeer peer("127.0.1.35");
    Timing timing;
    timing.streamPeriod = milliseconds(1000);  // a long wait for the next pass
    SentrelAdaptor a(timing);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(a.initialize("", "127.0.1.35", "", "", false));
    testing::internal::GetCapturedStdout();
    a.sendHR_bpm(72);
    a.enableStreamVitals(true);
    ASSERT_TRUE(peer.waitForFrames(1, milliseconds(2000)));
    // Let the thread come round to wait for its next pass, streaming still on.
    std::this_thread::sleep_for(milliseconds(200));
    a.enableStreamVitals(false);
    a.sendHR_bpm(80);
    // Two more turns: the one waiting for its pass has come round.
    const unsigned long turns = a.loopProgress().streaming;
    ASSERT_TRUE(testsupport::eventually([&] { return a.loopProgress().streaming >= turns + 2; }, milliseconds(5000)));
    EXPECT_EQ(a.linkStatus().messagesWritten, 1u);

    a.enableStreamVitals(true);
    ASSERT_TRUE(peer.waitForFrames(2, milliseconds(3000)));
    EXPECT_THAT(peer.received()[1].json, HasSubstr("\"hr\":\"80\""));
}

TEST(SentrelAdaptorStreaming, ScheduleHoldsAndNoBurstFollowsALongPause)
{
    testsupport::TempWorkingDirectory dir;
    ScriptedUnitPeer peer("127.0.1.31");
    SentrelAdaptor a;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(a.initialize("", "127.0.1.31", "", "", false));
    testing::internal::GetCapturedStdout();
    a.enableStreamVitals(true);
    Feeder feeder(a);

    std::this_thread::sleep_for(milliseconds(1500));
    const auto steady = arrivals(peer, "VitalsData");
    ASSERT_GE(steady.size(), 10u);
    // At most one period of catch-up: any ten messages span nine periods less one.
    for (std::size_t i = 9; i < steady.size(); ++i)
        EXPECT_GE(steady[i] - steady[i - 9], milliseconds(400)) << i;
    EXPECT_LE(steady.size(), 1500u / 60 + 3);
    std::vector<Clock::duration> gaps;
    for (std::size_t i = 1; i < steady.size(); ++i)
        gaps.push_back(steady[i] - steady[i - 1]);
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    EXPECT_GE(gaps[gaps.size() / 2], milliseconds(50));
    EXPECT_LE(gaps[gaps.size() / 2], milliseconds(150));

    a.enableStreamVitals(false);
    std::this_thread::sleep_for(milliseconds(1500));
    const unsigned long passesBefore = SentrelAdaptor::TestAccess::streamingPasses(a);
    const Clock::time_point resumed = Clock::now();
    a.enableStreamVitals(true);
    std::this_thread::sleep_for(milliseconds(300));
    const unsigned long passes = SentrelAdaptor::TestAccess::streamingPasses(a) - passesBefore;
    const auto after = arrivals(peer, "VitalsData", resumed);
    EXPECT_GE(after.size(), 1u);
    EXPECT_LE(after.size(), 300u / 60 + 2) << "burst after the pause";
    EXPECT_GE(passes, 1u);
    EXPECT_LE(passes, 300u / 60 + 2) << "passes caught up after the pause";
}

TEST(SentrelAdaptorStreaming, DestroyingTheAdaptorWhileItStreamsStopsTheThread)
{
    testsupport::TempWorkingDirectory dir;
    ScriptedUnitPeer peer("127.0.1.33");
    for (int round = 0; round < 3; ++round) {
        auto a = std::make_unique<SentrelAdaptor>();
        testing::internal::CaptureStdout();
        ASSERT_TRUE(a->initialize("", "127.0.1.33", "", "", false));
        testing::internal::GetCapturedStdout();
        a->enableStreamVitals(true);
        {
            Feeder feeder(*a);
            std::this_thread::sleep_for(milliseconds(130));
        }
        a->sendHR_bpm(60);
        a.reset();  // joins the streaming thread, which may be mid-pass
    }
    EXPECT_FALSE(arrivals(peer, "VitalsData").empty());
}

TEST(SentrelAdaptorStreaming, ReconnectWhileTheStreamingThreadIsBusy)
{
    testsupport::TempWorkingDirectory dir;
    ScriptedUnitPeer peer("127.0.1.34");
    SentrelAdaptor a;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(a.initialize("", "127.0.1.34", "", "", false));
    a.enableStreamVitals(true);
    {
        Feeder feeder(a);
        for (int i = 0; i < 20; ++i) {
            a.connect();  // a new connection to the same unit
            std::this_thread::sleep_for(milliseconds(7));
        }
        ASSERT_TRUE(peer.waitForConnections(21));
        const std::size_t before = arrivals(peer, "VitalsData").size();
        EXPECT_TRUE(peer.waitFor(
            [&](const std::vector<ScriptedUnitPeer::Received>& r) {
                return std::count_if(r.begin(), r.end(), [](const ScriptedUnitPeer::Received& f) {
                           return f.json.rfind("{\"MessageType\":\"VitalsData\"", 0) == 0;
                       }) >= static_cast<std::ptrdiff_t>(before + 3);
            },
            milliseconds(3000)));
    }
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(a.checkConnection());
}

}  // namespace
