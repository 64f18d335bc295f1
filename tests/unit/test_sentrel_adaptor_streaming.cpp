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

const std::string kVitalsAllUnset =
    "{\"MessageType\":\"VitalsData\",\"Message\":{\"hr\":\"-1\",\"sbp\":\"-1\",\"dbp\":\"-1\","
    "\"mbp\":\"-1\",\"sPAP\":\"-1\",\"dPAP\":\"-1\",\"mPAP\":\"-1\",\"CVP\":\"-1\",\"t1\":\"-1\","
    "\"t2\":\"-1\",\"rr\":\"-1\",\"etCO2\":\"-1\",\"co2FlowFactor\":\"-1\",\"spO2\":\"-1\","
    "\"spO2Ratio\":\"-1\",\"spo2Override\":\"None\",\"abpZeroState\":\"Unknown\","
    "\"papZeroState\":\"Unknown\",\"cvpZeroState\":\"Unknown\"}}";

std::string withMember(std::string json, const std::string& member, const std::string& value)
{
    const std::string key = "\"" + member + "\":\"";
    const std::size_t at = json.find(key);
    const std::size_t end = json.find('"', at + key.size());
    return json.replace(at + key.size(), end - at - key.size(), value);
}

// An adaptor that stores values as if linked, without a socket.
struct Linked : SentrelAdaptor {
    Linked() { connected = true; }

    std::string vital(const std::string& member)
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        return vitalsData.get<std::string>("Message." + member, "<none>");
    }
    std::string slot(const std::string& member)
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        return waveformData.get<std::string>("Message." + member, "<none>");
    }
    bool waveformPending()
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        return !waveformDataSent;
    }
};

TEST(SentrelAdaptorSetters, ClampVitalValues)
{
    Linked a;
    testing::internal::CaptureStdout();  // repeated stores warn about overwriting
    const auto hr = [&](int v) { a.sendHR_bpm(v); return a.vital("hr"); };
    EXPECT_EQ(hr(10), "20");
    EXPECT_EQ(hr(400), "300");
    EXPECT_EQ(hr(72), "72");
    a.sendDisableHR();
    EXPECT_EQ(a.vital("hr"), "0");
    a.sendRR_brpm(-5);
    EXPECT_EQ(a.vital("rr"), "0");
    a.sendRR_brpm(150);
    EXPECT_EQ(a.vital("rr"), "100");
    a.sendDisableRR();
    EXPECT_EQ(a.vital("rr"), "0");
    a.sendSPO2(0);
    EXPECT_EQ(a.vital("spO2"), "1");
    a.sendSPO2(-7);
    EXPECT_EQ(a.vital("spO2"), "1");
    a.sendSPO2(101);
    EXPECT_EQ(a.vital("spO2"), "100");
    a.sendSPO2_ratio(0);
    EXPECT_EQ(a.vital("spO2Ratio"), "1");
    a.sendSPO2_ratio(500);
    EXPECT_EQ(a.vital("spO2Ratio"), "400");
    a.sendNIBP_mmHg(350, -5, 90);
    EXPECT_EQ(a.vital("sbp"), "300");
    EXPECT_EQ(a.vital("dbp"), "0");
    EXPECT_EQ(a.vital("mbp"), "90");
    a.sendDisableNIBP();
    EXPECT_EQ(a.vital("sbp") + a.vital("dbp") + a.vital("mbp"), "000");
    a.sendCO2_flowFactor(-5);
    EXPECT_EQ(a.vital("co2FlowFactor"), "-1");
    a.sendCO2_flowFactor(2000);
    EXPECT_EQ(a.vital("co2FlowFactor"), "1000");
    a.enableSPO2Probe(true);
    EXPECT_EQ(a.vital("spo2Override"), "On");
    a.enableSPO2Probe(false);
    EXPECT_EQ(a.vital("spo2Override"), "Off");
    a.sendCommand("etCO2", 38);
    EXPECT_EQ(a.vital("etCO2"), "38");
    a.sendCommand("abpZeroState", "Zeroing");
    EXPECT_EQ(a.vital("abpZeroState"), "Zeroing");
    a.sendCommand("SPA", 25);
    a.sendCommand("DPA", 10);
    a.sendCommand("MPA", 15);
    EXPECT_EQ(a.vital("sPAP") + a.vital("dPAP") + a.vital("mPAP"), "251015");
    // The VitalsData member CVP has no command name; CVP goes to the waveform.
    a.sendCommand("CVP", 5);
    EXPECT_EQ(a.vital("CVP"), "-1");
    EXPECT_EQ(a.slot("cvp"), "[5]");
    testing::internal::GetCapturedStdout();
}

TEST(SentrelAdaptorSetters, TemperaturesHaveOneDecimalWithinLimits)
{
    Linked a;
    testing::internal::CaptureStdout();
    const auto t1 = [&](float v) { a.sendT1_degC(v); return a.vital("t1"); };
    EXPECT_EQ(t1(36.0f), "36.0");
    EXPECT_EQ(t1(37.26f), "37.3");
    EXPECT_EQ(t1(50.0f), "47.0");
    EXPECT_EQ(t1(10.0f), "21.0");
    EXPECT_EQ(t1(21.0f), "21.0");
    EXPECT_EQ(t1(std::numeric_limits<float>::quiet_NaN()), "21.0");
    EXPECT_EQ(t1(std::numeric_limits<float>::infinity()), "47.0");
    a.sendDisableT1();
    EXPECT_EQ(a.vital("t1"), "0");
    a.sendT2_degC(38.5f);
    EXPECT_EQ(a.vital("t2"), "38.5");
    a.sendDisableT2();
    EXPECT_EQ(a.vital("t2"), "0");
    a.sendCommand("T2", -1.0f);
    EXPECT_EQ(a.vital("t2"), "-1");
    a.sendCommand("T2", 0.1f);
    EXPECT_EQ(a.vital("t2"), "0.100000001");
    testing::internal::GetCapturedStdout();
}

TEST(SentrelAdaptorSetters, UnknownCommandNameIsReportedAndIgnored)
{
    Linked a;
    testing::internal::CaptureStdout();
    a.sendCommand("HEARTRATE", 80);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "iCommandName: [HEARTRATE] is not in the map!\n");
    EXPECT_TRUE(a.takePendingMessages().empty());
}

TEST(SentrelAdaptorSetters, NotConnectedStoresNothingButConsumesSamples)
{
    SentrelAdaptor a;
    a.sendHR_bpm(80);
    a.enableSPO2Probe(true);
    std::vector<float> abp = {1, 2, 3, 4, 5, 6, 7};
    a.sendABP_50Hz(abp);
    EXPECT_EQ(abp.size(), 2u);
    EXPECT_TRUE(a.takePendingMessages().empty());
}

TEST(SentrelAdaptorResampling, ArterialGroupsOfFiveGiveThreeValues)
{
    Linked a;
    std::vector<float> abp = {1, 2, 2, 2, 2};
    a.sendABP_50Hz(abp);
    EXPECT_EQ(a.slot("abp"), "[1,2,4]");
    EXPECT_TRUE(abp.empty());

    Linked b;
    std::vector<float> seven = {0, 10, 40, 30, 60, 100, 101};
    b.sendABP_50Hz(seven);
    EXPECT_EQ(b.slot("abp"), "[0,30,40]");
    EXPECT_EQ(seven, (std::vector<float>{100, 101}));

    Linked c;
    std::vector<float> four = {1, 2, 3, 4};
    c.sendABP_50Hz(four);
    EXPECT_EQ(four.size(), 4u);
    EXPECT_FALSE(c.waveformPending());

    Linked d;
    std::vector<float> clamped = {400, -10, -10, -10, -10, 120, 130, 130, 130, 130};
    d.sendABP_50Hz(clamped);
    EXPECT_EQ(d.slot("abp"), "[300,0,4,120,130,130]");
}

TEST(SentrelAdaptorResampling, PulmonaryUnclampedPlethClampedHalvesAwayFromZero)
{
    Linked a;
    std::vector<float> pap = {-20, 500, 500, -7, -7, 2.5f, 0, 0, -2.6f, -2.6f};
    a.sendPAP_50Hz(pap);
    EXPECT_EQ(a.slot("pap"), "[-20,500,-7,3,0,-3]");

    Linked b;
    std::vector<float> pleth = {0, 150, 150, 50, 50, -2.5f, 0, 0, 0, 0};
    b.sendPLETH_50Hz(pleth);
    EXPECT_EQ(b.slot("pleth"), "[4,100,50,4,4,4]");

    Linked c;
    std::vector<float> nan = {std::numeric_limits<float>::quiet_NaN(), 1, 1, 1, 1};
    c.sendPAP_50Hz(nan);
    EXPECT_EQ(c.slot("pap"), "[0,1,1]");
}

TEST(SentrelAdaptorResampling, VenousAndCapnographyGroupsOfTen)
{
    Linked a;
    std::vector<float> cvp = {-3, 0, 0, 3, 6, 0, 9, 12, 0, 0, 1, 2};
    a.sendCVP_25Hz(cvp);
    EXPECT_EQ(a.slot("cvp"), "[0,4,11]");
    EXPECT_EQ(cvp.size(), 2u);

    Linked b;
    std::vector<int> co2 = {100, 0, 0, 0, 3, 0, 30, 33, 0, 0};
    b.sendCO2_25Hz(co2);
    EXPECT_EQ(b.slot("co2"), "[80,1,32]");
    EXPECT_TRUE(co2.empty());

    Linked c;
    std::vector<int> nine(9, 5);
    c.sendCO2_25Hz(nine);
    EXPECT_EQ(nine.size(), 9u);
    EXPECT_FALSE(c.waveformPending());
    c.sendDisableCO2();
    EXPECT_EQ(c.slot("co2"), "[0]");
}

TEST(SentrelAdaptorResampling, EcgGroupsOfFiveGiveSixScaledValues)
{
    Linked a;
    std::vector<float> ecg = {0, 1, -50, 99, 200, -100};
    a.sendECG_100Hz(ecg);
    EXPECT_EQ(a.slot("ecg"), "[1365,1392,0,2034,4068,4095]");
    EXPECT_EQ(ecg, (std::vector<float>{-100}));
}

TEST(SentrelAdaptorMessages, VitalsCarryOnlyWhatChangedSinceTheLastMessage)
{
    Linked a;
    a.sendHR_bpm(72);
    testing::internal::CaptureStdout();
    a.sendHR_bpm(75);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "WARNING: Overwriting << Message.hr: 72\n");
    auto messages = a.takePendingMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], withMember(kVitalsAllUnset, "hr", "75"));

    EXPECT_TRUE(a.takePendingMessages().empty());
    testing::internal::CaptureStdout();
    a.sendRR_brpm(12);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // a fresh message, nothing overwritten
    messages = a.takePendingMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], withMember(kVitalsAllUnset, "rr", "12"));
}

TEST(SentrelAdaptorMessages, WaveformSlotsGoOutAsArraysEmptyWhenUnset)
{
    Linked a;
    std::vector<float> abp = {1, 2, 2, 2, 2};
    a.sendABP_50Hz(abp);
    std::vector<float> more = {5, 5, 5, 5, 5};
    testing::internal::CaptureStdout();
    a.sendABP_50Hz(more);  // replaces, does not extend
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "WARNING: Overwriting << Message.abp: [1,2,4]\n");
    a.sendHR_bpm(60);
    const auto messages = a.takePendingMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], withMember(kVitalsAllUnset, "hr", "60"));
    EXPECT_EQ(messages[1],
              "{\"MessageType\":\"WaveformData\",\"Message\":{\"pleth\":[],\"ecg\":[],\"abp\":[5,5,5],"
              "\"pap\":[],\"cvp\":[],\"aux\":[],\"co2\":[]}}");
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
            bool sent;
            {
                std::lock_guard<std::mutex> lock(a_.dataMutex);
                sent = a_.vitalsDataSent;
            }
            if (sent)
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
    TempWorkDir dir;
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
    EXPECT_EQ(frames[0].json, withMember(kVitalsAllUnset, "hr", "88"));
    EXPECT_THAT(frames[1].json, HasSubstr("\"abp\":[1,2,4]"));
    // Each message goes once.
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(peer.received().size(), 2u);
}

TEST(SentrelAdaptorStreaming, ScheduleHoldsAndNoBurstFollowsALongPause)
{
    TempWorkDir dir;
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
    const unsigned long passesBefore = a.streamingPasses;
    const Clock::time_point resumed = Clock::now();
    a.enableStreamVitals(true);
    std::this_thread::sleep_for(milliseconds(300));
    const unsigned long passes = a.streamingPasses - passesBefore;
    const auto after = arrivals(peer, "VitalsData", resumed);
    EXPECT_GE(after.size(), 1u);
    EXPECT_LE(after.size(), 300u / 60 + 2) << "burst after the pause";
    EXPECT_GE(passes, 1u);
    EXPECT_LE(passes, 300u / 60 + 2) << "passes caught up after the pause";
}

TEST(SentrelAdaptorStreaming, DestroyingTheAdaptorWhileItStreamsStopsTheThread)
{
    TempWorkDir dir;
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
        const auto start = Clock::now();
        a.reset();
        EXPECT_LT(Clock::now() - start, milliseconds(1000));
    }
    EXPECT_FALSE(arrivals(peer, "VitalsData").empty());
}

TEST(SentrelAdaptorStreaming, ReconnectWhileTheStreamingThreadIsBusy)
{
    TempWorkDir dir;
    ScriptedUnitPeer peer("127.0.1.34");
    SentrelAdaptor a;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(a.initialize("", "127.0.1.34", "", "", false));
    a.enableStreamVitals(true);
    {
        Feeder feeder(a);
        for (int i = 0; i < 20; ++i) {
            connectTo(a, "127.0.1.34");
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
