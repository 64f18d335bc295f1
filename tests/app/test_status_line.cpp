// The status line of unattended runs, as text: every state of each part, on
// its own (no bridge, no sockets).
#include "StatusReporter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>

namespace {

// A wall-clock time given as local time of day (on a day without a clock change).
std::chrono::system_clock::time_point localTime(int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 15;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&t));
}

SimulatorSample::Status allUp()
{
    SimulatorSample::Status s;
    s.unit.connected = true;
    s.unit.address = "127.0.0.1";
    s.simConnected = true;
    s.appConnected = true;
    s.patientId = 3;
    s.running = true;
    s.featureEnabled = true;
    s.calibrating = false;
    return s;
}

TEST(StatusLine, EverythingUp)
{
    EXPECT_EQ(statusLine(allUp(), 812),
              "SN>Status: unit connected to 127.0.0.1; SIM connected; APP connected; patient 3; running; "
              "feature enabled; calibration off; 812 messages to the unit since the last status");
}

TEST(StatusLine, EverythingDown)
{
    SimulatorSample::Status s;  // as a bridge starts out
    s.unit.address = "10.1.2.3";  // the last address is not shown while retrying
    s.unit.downSince = localTime(10, 15, 30);
    EXPECT_EQ(statusLine(s, 0),
              "SN>Status: unit retrying since 10:15:30; SIM not connected; APP not connected; patient none; "
              "paused; feature disabled; calibration off; 0 messages to the unit since the last status");
}

TEST(StatusLine, RetryTimeIsLocalTimeOfDayInTwoDigitFields)
{
    SimulatorSample::Status s = allUp();
    s.unit.connected = false;
    for (auto [h, m, sec, text] : {std::make_tuple(0, 0, 0, "00:00:00"), std::make_tuple(9, 5, 7, "09:05:07"),
                                   std::make_tuple(23, 59, 59, "23:59:59")}) {
        s.unit.downSince = localTime(h, m, sec) + std::chrono::milliseconds(999);  // never rounded up
        const std::string line = statusLine(s, 1);
        EXPECT_EQ(line.rfind(std::string("SN>Status: unit retrying since ") + text + "; SIM connected; ", 0), 0u)
            << line;
    }
}

TEST(StatusLine, EachPartOnItsOwn)
{
    struct Case {
        void (*change)(SimulatorSample::Status&);
        const char* expected;  // the part that changes, with its separators
    };
    const Case cases[] = {
        {[](SimulatorSample::Status& s) { s.simConnected = false; }, "; SIM not connected; APP connected; "},
        {[](SimulatorSample::Status& s) { s.appConnected = false; }, "; SIM connected; APP not connected; "},
        {[](SimulatorSample::Status& s) { s.patientId = 0; }, "; patient none; "},
        {[](SimulatorSample::Status& s) { s.patientId = 4294967295u; }, "; patient 4294967295; "},
        {[](SimulatorSample::Status& s) { s.running = false; }, "; patient 3; paused; feature enabled; "},
        {[](SimulatorSample::Status& s) { s.featureEnabled = false; }, "; running; feature disabled; calibration off; "},
        {[](SimulatorSample::Status& s) { s.calibrating = true; }, "; feature enabled; calibration on; "},
        {[](SimulatorSample::Status& s) { s.unit.address = "192.168.50.23"; }, "unit connected to 192.168.50.23; "},
    };
    for (const Case& c : cases) {
        SimulatorSample::Status s = allUp();
        c.change(s);
        const std::string line = statusLine(s, 5);
        EXPECT_NE(line.find(c.expected), std::string::npos) << line;
    }
}

TEST(StatusLine, MessageCountInFull)
{
    EXPECT_THAT(statusLine(allUp(), 18446744073709551615ull),
                testing::EndsWith("; calibration off; 18446744073709551615 messages to the unit since the last status"));
    EXPECT_THAT(statusLine(allUp(), 1), testing::EndsWith("; calibration off; 1 messages to the unit since the last status"));
}

// With a recording, the lines it dropped so far close the line; without one
// the line is as ever.
TEST(StatusLine, RecordingDropsOnlyWithARecording)
{
    const std::string plain = statusLine(allUp(), 7);
    EXPECT_EQ(statusLine(allUp(), 7, 0), plain + "; 0 recording lines dropped");
    EXPECT_EQ(statusLine(allUp(), 7, 12345), plain + "; 12345 recording lines dropped");
    EXPECT_THAT(plain, testing::EndsWith("; 7 messages to the unit since the last status"));
}

} // namespace
