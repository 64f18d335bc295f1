// The emulator's byte helpers, scenario parser and patient model.
#include "EmulatorWire.h"
#include "PatientModel.h"
#include "ScenarioScript.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace simemu;

TEST(SimEmuWire, FrameHeaderAndBodyLength) {
    Bytes body = messageHeader(4, 2, 0x0101);
    put32(body, 7);
    Bytes f = frame(body);
    ASSERT_EQ(f.size(), 48u);
    EXPECT_EQ(get32(f, 0), 48u);
    EXPECT_EQ(get32(f, 4), 32u);
    EXPECT_EQ(get32(f, 8), 0u);
    EXPECT_EQ(f[31], 0xFF);
    EXPECT_EQ(get32(f, 36), 16u);  // body length patched into the message header

    Bytes fc = frame(Bytes{0, 0, 0, 1}, 3);
    EXPECT_EQ(get32(fc, 8), 3u);
    EXPECT_EQ(get32(fc, 12), 2u);
    EXPECT_EQ(fc[31], 0xFE);
    EXPECT_EQ(get32(fc, 32), 1u);  // flow-control bodies are not patched
}

TEST(SimEmuWire, ReadsStayInsideTheBytes) {
    Bytes b{0, 0, 0, 5, 'H', 'R', 0, 'X'};
    EXPECT_EQ(get32(b, 0), 5u);
    EXPECT_EQ(get32(b, 5), 0u);
    EXPECT_EQ(get32(b, 100), 0u);
    EXPECT_EQ(getName(b, 4), "HR");
    EXPECT_EQ(getName(b, 7), "X");
    EXPECT_EQ(getName(b, 50), "");
    Bytes n;
    putName(n, std::string(40, 'A'));
    ASSERT_EQ(n.size(), 32u);
    EXPECT_EQ(n[31], 0);  // always terminated

    FrameHeader h;
    std::string why;
    Bytes hdr = frame(Bytes{1});
    EXPECT_TRUE(parseFrameHeader(hdr.data(), 32, h, why));
    EXPECT_EQ(h.frameLength, 33u);
    set32(hdr, 0, 32);
    EXPECT_FALSE(parseFrameHeader(hdr.data(), 32, h, why));
    set32(hdr, 0, 0xFFFFFFF0u);
    EXPECT_FALSE(parseFrameHeader(hdr.data(), 32, h, why));
    EXPECT_FALSE(parseFrameHeader(hdr.data(), 31, h, why));
}

TEST(SimEmuScenario, ParsesTimedLinesInTimeOrder) {
    std::vector<ScenarioLine> lines;
    std::string error;
    ASSERT_TRUE(parseScenario("# demo\n\n2 set HRPM 90\n0.5 run\n  0.5   enable  \n3 calib 3 60\r\n", lines, error));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_DOUBLE_EQ(lines[0].at, 0.5);
    EXPECT_EQ(lines[0].command, "run");
    EXPECT_EQ(lines[1].command, "enable");  // same time: file order
    EXPECT_EQ(lines[2].command, "set HRPM 90");
    EXPECT_EQ(lines[3].command, "calib 3 60");
    EXPECT_EQ(lines[3].lineNumber, 6u);
}

TEST(SimEmuScenario, RejectsMalformedLinesWithTheirNumber) {
    std::vector<ScenarioLine> lines;
    std::string error;
    EXPECT_FALSE(parseScenario("1 run\nsoon pause\n", lines, error));
    EXPECT_EQ(error.rfind("line 2:", 0), 0u) << error;
    EXPECT_FALSE(parseScenario("1.5\n", lines, error));
    EXPECT_EQ(error.rfind("line 1:", 0), 0u) << error;
    EXPECT_FALSE(parseScenario("-1 run\n", lines, error));
    EXPECT_FALSE(parseScenario("nan run\n", lines, error));
}

TEST(SimEmuPatient, WaveformRatesAndRanges) {
    PatientModel m;
    std::map<std::string, std::vector<float>> s;
    m.advance(0.1, s);
    EXPECT_EQ(s["ARTLINE"].size(), 5u);
    EXPECT_EQ(s["PLETH"].size(), 5u);
    for (int i = 0; i < 99; ++i) m.advance(0.1, s);  // 10 seconds in all
    EXPECT_EQ(s["ARTLINE"].size(), 500u);
    EXPECT_EQ(s["CVPLINE"].size(), 500u);
    EXPECT_EQ(s["PLINE"].size(), 500u);
    EXPECT_EQ(s["CAPNOGRAM"].size(), 250u);
    auto range = [&](const char* n) { return std::minmax_element(s[n].begin(), s[n].end()); };
    auto art = range("ARTLINE");
    EXPECT_GE(*art.first, 79.9f);
    EXPECT_LE(*art.second, 120.1f);
    EXPECT_GT(*art.second, 115.0f);   // systolic peaks reached
    EXPECT_LT(*art.first, 85.0f);     // back to diastole
    auto co2 = range("CAPNOGRAM");
    EXPECT_FLOAT_EQ(*co2.first, 0.0f);
    EXPECT_GT(*co2.second, 35.0f);
    auto pleth = range("PLETH");
    EXPECT_GE(*pleth.first, 0.0f);
    EXPECT_LE(*pleth.second, 100.0f);
}

TEST(SimEmuPatient, PulsesFollowTheHeartRate) {
    PatientModel m;
    m.set("HRPM", 120);
    std::map<std::string, std::vector<float>> s;
    for (int i = 0; i < 100; ++i) m.advance(0.1, s);
    // count systolic upstrokes crossing the middle of the pressure range
    const auto& a = s["ARTLINE"];
    int beats = 0;
    for (std::size_t i = 1; i < a.size(); ++i)
        if (a[i - 1] < 100 && a[i] >= 100) ++beats;
    EXPECT_NEAR(beats, 20, 1);  // 120 per minute for 10 seconds
}

TEST(SimEmuPatient, SetTruncatesIntegersAndCreatesUnknownNames) {
    PatientModel m;
    m.set("HRPM", 90.7f);
    EXPECT_FLOAT_EQ(m.value("HRPM"), 90.0f);
    m.set("SAO2", 95.5f);
    EXPECT_FLOAT_EQ(m.value("SAO2"), 95.5f);
    EXPECT_FALSE(m.has("NEW_ONE"));
    m.set("NEW_ONE", 2.5f);
    EXPECT_FLOAT_EQ(m.value("NEW_ONE"), 2.5f);
    EXPECT_TRUE(m.isSim("HW_PATSPEED"));
    EXPECT_FALSE(m.isSim("HRPM"));
    EXPECT_TRUE(m.isWaveform("ARTLINE"));
    EXPECT_FALSE(m.isWaveform("HRPM"));
}
