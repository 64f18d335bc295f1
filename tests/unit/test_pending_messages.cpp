// The pending VitalsData and WaveformData messages without any socket: the
// setters' clamps and resampling, the serialised texts, and "what changed
// since the last pass".
#include "PendingMessages.h"
#include "Log.h"
#include "UnitMessages.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

namespace {

using Access = PendingMessages::TestAccess;

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

// The one message a pass would send now, marked sent.
std::string onlyMessage(PendingMessages& a)
{
    const auto messages = a.takeChanged();
    return messages.size() == 1 ? messages[0] : std::to_string(messages.size()) + " messages";
}

TEST(PendingMessagesSetters, ClampVitalValues)
{
    PendingMessages a;
    snlog::Capture capture;  // repeated stores warn about overwriting
    const auto vital = [&](const std::string& m) { return Access::vital(a, m); };
    const auto hr = [&](int v) { a.sendHR_bpm(v); return vital("hr"); };
    EXPECT_EQ(hr(10), "20");
    EXPECT_EQ(hr(400), "300");
    EXPECT_EQ(hr(72), "72");
    a.sendDisableHR();
    EXPECT_EQ(vital("hr"), "0");
    a.sendRR_brpm(-5);
    EXPECT_EQ(vital("rr"), "0");
    a.sendRR_brpm(150);
    EXPECT_EQ(vital("rr"), "100");
    a.sendDisableRR();
    EXPECT_EQ(vital("rr"), "0");
    a.sendSPO2(0);
    EXPECT_EQ(vital("spO2"), "1");
    a.sendSPO2(-7);
    EXPECT_EQ(vital("spO2"), "1");
    a.sendSPO2(101);
    EXPECT_EQ(vital("spO2"), "100");
    a.sendSPO2_ratio(0);
    EXPECT_EQ(vital("spO2Ratio"), "1");
    a.sendSPO2_ratio(500);
    EXPECT_EQ(vital("spO2Ratio"), "400");
    a.sendNIBP_mmHg(350, -5, 90);
    EXPECT_EQ(vital("sbp"), "300");
    EXPECT_EQ(vital("dbp"), "0");
    EXPECT_EQ(vital("mbp"), "90");
    a.sendDisableNIBP();
    EXPECT_EQ(vital("sbp") + vital("dbp") + vital("mbp"), "000");
    a.sendCO2_flowFactor(-5);
    EXPECT_EQ(vital("co2FlowFactor"), "-1");
    a.sendCO2_flowFactor(2000);
    EXPECT_EQ(vital("co2FlowFactor"), "1000");
    a.enableSPO2Probe(true);
    EXPECT_EQ(vital("spo2Override"), "On");
    a.enableSPO2Probe(false);
    EXPECT_EQ(vital("spo2Override"), "Off");
    a.sendCommand("etCO2", 38);
    EXPECT_EQ(vital("etCO2"), "38");
    a.sendCommand("abpZeroState", "Zeroing");
    EXPECT_EQ(vital("abpZeroState"), "Zeroing");
    a.sendCommand("SPA", 25);
    a.sendCommand("DPA", 10);
    a.sendCommand("MPA", 15);
    EXPECT_EQ(vital("sPAP") + vital("dPAP") + vital("mPAP"), "251015");
    // The VitalsData member CVP has no command name; CVP goes to the waveform.
    a.sendCommand("CVP", 5);
    EXPECT_EQ(vital("CVP"), "-1");
    EXPECT_EQ(Access::slot(a, "cvp"), "[5]");
}

TEST(PendingMessagesSetters, TemperaturesHaveOneDecimalWithinLimits)
{
    PendingMessages a;
    snlog::Capture capture;
    const auto t1 = [&](float v) { a.sendT1_degC(v); return Access::vital(a, "t1"); };
    EXPECT_EQ(t1(36.0f), "36.0");
    EXPECT_EQ(t1(37.26f), "37.3");
    EXPECT_EQ(t1(50.0f), "47.0");
    EXPECT_EQ(t1(10.0f), "21.0");
    EXPECT_EQ(t1(21.0f), "21.0");
    EXPECT_EQ(t1(std::numeric_limits<float>::quiet_NaN()), "21.0");
    EXPECT_EQ(t1(std::numeric_limits<float>::infinity()), "47.0");
    a.sendDisableT1();
    EXPECT_EQ(Access::vital(a, "t1"), "0");
    a.sendT2_degC(38.5f);
    EXPECT_EQ(Access::vital(a, "t2"), "38.5");
    a.sendDisableT2();
    EXPECT_EQ(Access::vital(a, "t2"), "0");
    a.sendCommand("T2", -1.0f);
    EXPECT_EQ(Access::vital(a, "t2"), "-1");
    a.sendCommand("T2", 0.1f);
    EXPECT_EQ(Access::vital(a, "t2"), "0.100000001");
}

TEST(PendingMessagesSetters, UnknownCommandNameIsReportedAndIgnored)
{
    PendingMessages a;
    snlog::Capture capture;
    a.sendCommand("HEARTRATE", 80);
    EXPECT_EQ(capture.out(), "iCommandName: [HEARTRATE] is not in the map!\n");
    EXPECT_TRUE(a.takeChanged().empty());
}

TEST(PendingMessagesSetters, NotAcceptingStoresNothingButConsumesSamples)
{
    bool up = false;
    PendingMessages a([&] { return up; });
    a.sendHR_bpm(80);
    a.enableSPO2Probe(true);
    std::vector<float> abp = {1, 2, 3, 4, 5, 6, 7};
    a.sendABP_50Hz(abp);
    EXPECT_EQ(abp.size(), 2u);
    EXPECT_TRUE(a.takeChanged().empty());

    up = true;  // the same object stores again once the link is up
    a.sendHR_bpm(80);
    EXPECT_EQ(onlyMessage(a), withMember(kVitalsAllUnset, "hr", "80"));
}

TEST(PendingMessagesResampling, ArterialGroupsOfFiveGiveThreeValues)
{
    PendingMessages a;
    std::vector<float> abp = {1, 2, 2, 2, 2};
    a.sendABP_50Hz(abp);
    EXPECT_EQ(Access::slot(a, "abp"), "[1,2,4]");
    EXPECT_TRUE(abp.empty());

    PendingMessages b;
    std::vector<float> seven = {0, 10, 40, 30, 60, 100, 101};
    b.sendABP_50Hz(seven);
    EXPECT_EQ(Access::slot(b, "abp"), "[0,30,40]");
    EXPECT_EQ(seven, (std::vector<float>{100, 101}));

    PendingMessages c;
    std::vector<float> four = {1, 2, 3, 4};
    c.sendABP_50Hz(four);
    EXPECT_EQ(four.size(), 4u);
    EXPECT_FALSE(Access::waveformPending(c));

    PendingMessages d;
    std::vector<float> clamped = {400, -10, -10, -10, -10, 120, 130, 130, 130, 130};
    d.sendABP_50Hz(clamped);
    EXPECT_EQ(Access::slot(d, "abp"), "[300,0,4,120,130,130]");
}

TEST(PendingMessagesResampling, PulmonaryUnclampedPlethClampedHalvesAwayFromZero)
{
    PendingMessages a;
    std::vector<float> pap = {-20, 500, 500, -7, -7, 2.5f, 0, 0, -2.6f, -2.6f};
    a.sendPAP_50Hz(pap);
    EXPECT_EQ(Access::slot(a, "pap"), "[-20,500,-7,3,0,-3]");

    PendingMessages b;
    std::vector<float> pleth = {0, 150, 150, 50, 50, -2.5f, 0, 0, 0, 0};
    b.sendPLETH_50Hz(pleth);
    EXPECT_EQ(Access::slot(b, "pleth"), "[4,100,50,4,4,4]");

    PendingMessages c;
    std::vector<float> nan = {std::numeric_limits<float>::quiet_NaN(), 1, 1, 1, 1};
    c.sendPAP_50Hz(nan);
    EXPECT_EQ(Access::slot(c, "pap"), "[0,1,1]");

    PendingMessages d;  // far outside the int range: the nearest limit, no overflow
    std::vector<float> huge = {1e20f, -1e20f, -1e20f, 0, 0};
    d.sendPAP_50Hz(huge);
    EXPECT_EQ(Access::slot(d, "pap"), "[" + std::to_string(std::numeric_limits<int>::max()) + "," +
                                          std::to_string(std::numeric_limits<int>::min()) + ",0]");
}

TEST(PendingMessagesResampling, VenousAndCapnographyGroupsOfTen)
{
    PendingMessages a;
    std::vector<float> cvp = {-3, 0, 0, 3, 6, 0, 9, 12, 0, 0, 1, 2};
    a.sendCVP_25Hz(cvp);
    EXPECT_EQ(Access::slot(a, "cvp"), "[0,4,11]");
    EXPECT_EQ(cvp.size(), 2u);

    PendingMessages b;
    std::vector<int> co2 = {100, 0, 0, 0, 3, 0, 30, 33, 0, 0};
    b.sendCO2_25Hz(co2);
    EXPECT_EQ(Access::slot(b, "co2"), "[80,1,32]");
    EXPECT_TRUE(co2.empty());

    PendingMessages c;
    std::vector<int> nine(9, 5);
    c.sendCO2_25Hz(nine);
    EXPECT_EQ(nine.size(), 9u);
    EXPECT_FALSE(Access::waveformPending(c));
    c.sendDisableCO2();
    EXPECT_EQ(Access::slot(c, "co2"), "[0]");
}

TEST(PendingMessagesResampling, EcgGroupsOfFiveGiveSixScaledValues)
{
    PendingMessages a;
    std::vector<float> ecg = {0, 1, -50, 99, 200, -100};
    a.sendECG_100Hz(ecg);
    EXPECT_EQ(Access::slot(a, "ecg"), "[1365,1392,0,2034,4068,4095]");
    EXPECT_EQ(ecg, (std::vector<float>{-100}));
}

TEST(PendingMessagesTexts, VitalsCarryOnlyWhatChangedSinceTheLastMessage)
{
    PendingMessages a;
    a.sendHR_bpm(72);
    snlog::Capture capture;
    a.sendHR_bpm(75);
    EXPECT_EQ(capture.out(), "WARNING: Overwriting << Message.hr: 72\n");
    EXPECT_EQ(onlyMessage(a), withMember(kVitalsAllUnset, "hr", "75"));

    EXPECT_TRUE(a.takeChanged().empty());
    capture.clear();
    a.sendRR_brpm(12);
    EXPECT_EQ(capture.out(), "");  // a fresh message, nothing overwritten
    EXPECT_EQ(onlyMessage(a), withMember(kVitalsAllUnset, "rr", "12"));
}

TEST(PendingMessagesTexts, WaveformSlotsGoOutAsArraysEmptyWhenUnset)
{
    PendingMessages a;
    std::vector<float> abp = {1, 2, 2, 2, 2};
    a.sendABP_50Hz(abp);
    std::vector<float> more = {5, 5, 5, 5, 5};
    snlog::Capture capture;
    a.sendABP_50Hz(more);  // replaces, does not extend
    EXPECT_EQ(capture.out(), "WARNING: Overwriting << Message.abp: [1,2,4]\n");
    a.sendHR_bpm(60);
    const auto messages = a.takeChanged();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], withMember(kVitalsAllUnset, "hr", "60"));
    EXPECT_EQ(messages[1],
              "{\"MessageType\":\"WaveformData\",\"Message\":{\"pleth\":[],\"ecg\":[],\"abp\":[5,5,5],"
              "\"pap\":[],\"cvp\":[],\"aux\":[],\"co2\":[]}}");
    // A waveform alone goes out without a VitalsData message.
    a.sendDisableCO2();
    const std::string only = onlyMessage(a);
    EXPECT_THAT(only, testing::StartsWith("{\"MessageType\":\"WaveformData\""));
    EXPECT_THAT(only, testing::HasSubstr("\"abp\":[],"));
    EXPECT_THAT(only, testing::HasSubstr("\"co2\":[0]}}"));
}

TEST(UnitMessageVocabulary, UnsetValuesAreTheTemplatesOwn)
{
    for (const char* unset : {"-1", "None", "Unknown", "REPLACE"})
        EXPECT_TRUE(unitmsg::isUnsetValue(unset)) << unset;
    for (const char* set : {"0", "72", "On", "Zeroing", "[]", ""})
        EXPECT_FALSE(unitmsg::isUnsetValue(set)) << set;
}

} // namespace

TEST(PendingMessagesTexts, ARestatedVitalsDataCarriesEveryMemberAtItsLastValue)
{
    PendingMessages a;
    a.restateVitals();  // nothing stored yet: nothing to restate
    EXPECT_TRUE(a.takeChanged().empty());

    a.sendHR_bpm(72);
    a.sendRR_brpm(12);
    a.takeChanged();  // lost with a link that went down
    a.sendSPO2(97);
    a.takeChanged();
    a.restateVitals();
    EXPECT_EQ(onlyMessage(a), withMember(withMember(withMember(kVitalsAllUnset, "hr", "72"), "rr", "12"), "spO2", "97"));

    // Changes since the last message keep their newer value, with no warning.
    a.sendHR_bpm(80);
    a.restateVitals();
    snlog::Capture capture;
    a.sendRR_brpm(14);
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(onlyMessage(a), withMember(withMember(withMember(kVitalsAllUnset, "hr", "80"), "rr", "14"), "spO2", "97"));
    // Once sent, messages carry only what changed again.
    a.sendRR_brpm(15);
    EXPECT_EQ(onlyMessage(a), withMember(kVitalsAllUnset, "rr", "15"));
}
