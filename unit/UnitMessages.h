#pragma once

#include <cstddef>
#include <string>

// The messages the bridge and the unit exchange: the fixed texts, and the
// members of the two streamed messages. The emulated unit reads its list of
// members from here too, so both sides always agree.
namespace unitmsg {

// Fixed messages, byte for byte.
constexpr const char* kStatusRequestOther =
    "{\"MessageType\":\"StatusRequest\",\"Message\":{\"requestNetworkStatus\":false}}";
constexpr const char* kStatusRequestNetwork =
    "{\"MessageType\":\"StatusRequest\",\"Message\":{\"requestNetworkStatus\":true}}";
constexpr const char* kCalListRequestSpO2 =
    "{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"SpO2\"}}";
constexpr const char* kCalListRequestCO2 =
    "{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"CO2\"}}";
constexpr const char* kCalSelectPing =
    "{\"MessageType\":\"CalSelect\",\"Message\":{\"calName\":\"Default Temperature\",\"calType\":\"Temp\"}}";
constexpr const char* kWifiCredentialsStart = "{\"MessageType\":\"WifiCredentials\",\"Message\":{\"ssid\":\"";
constexpr const char* kWifiCredentialsMiddle = "\",\"password\":\"";
constexpr const char* kWifiCredentialsEnd = "\"}}";

constexpr const char* kVitalsDataType = "VitalsData";
constexpr const char* kWaveformDataType = "WaveformData";

// A VitalsData member and the value it carries while unset.
struct VitalsMember {
    const char* name;
    const char* unset;
};

// The VitalsData members, in the order every VitalsData message carries them.
constexpr VitalsMember kVitalsDataMembers[] = {
    {"hr", "-1"},           {"sbp", "-1"},           {"dbp", "-1"},          {"mbp", "-1"},
    {"sPAP", "-1"},         {"dPAP", "-1"},          {"mPAP", "-1"},         {"CVP", "-1"},
    {"t1", "-1"},           {"t2", "-1"},            {"rr", "-1"},           {"etCO2", "-1"},
    {"co2FlowFactor", "-1"}, {"spO2", "-1"},         {"spO2Ratio", "-1"},    {"spo2Override", "None"},
    {"abpZeroState", "Unknown"}, {"papZeroState", "Unknown"}, {"cvpZeroState", "Unknown"},
};

// The WaveformData slots, in message order; each unfilled slot holds
// kUnsetSlot until it goes out as an empty array.
constexpr const char* kWaveformDataSlots[] = {"pleth", "ecg", "abp", "pap", "cvp", "aux", "co2"};
constexpr const char* kUnsetSlot = "REPLACE";

// Whether a member's text means "not set": a VitalsData unset value or an
// unfilled waveform slot.
bool isUnsetValue(const std::string& text);

// Nearest integer, halves away from zero, for the whole-number levels the
// unit takes (resampled waveforms, calibrated SpO2): a value that is not a
// number counts as 0 and the result stays within the int range. The simulator
// client's truncation toward zero (com_vela::truncateToInt) is the simulator
// protocol's own rule for its parameter values and is deliberately different.
int roundToInt(float x);

// The WifiCredentials message, SSID and password escaped as JSON strings so
// that a quote or backslash in them cannot break the message or add members.
std::string wifiCredentialsMessage(const std::string& ssid, const std::string& password);

} // namespace unitmsg
