#include "PendingMessages.h"

#include "AssertionFailureException.h"
#include "Log.h"
#include "UnitJson.h"
#include "UnitMessages.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim.hpp>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <iterator>
#include <limits>
#include <sstream>

namespace pt = boost::property_tree;

namespace {

struct CommandName {
    const char* command;
    const char* member;
};

// Command names used by the setters and the bridge, and the message members
// they fill. The VitalsData member CVP has none: CVP fills the waveform slot.
const CommandName kCommandNames[] = {
    {"HR", "hr"},
    {"SBP", "sbp"},
    {"DBP", "dbp"},
    {"MBP", "mbp"},
    {"SPA", "sPAP"},
    {"DPA", "dPAP"},
    {"MPA", "mPAP"},
    {"T1", "t1"},
    {"T2", "t2"},
    {"RR", "rr"},
    {"etCO2", "etCO2"},
    {"co2FlowFactor", "co2FlowFactor"},
    {"SPO2", "spO2"},
    {"spO2Ratio", "spO2Ratio"},
    {"SPO2_PROBE", "spo2Override"},
    {"abpZeroState", "abpZeroState"},
    {"papZeroState", "papZeroState"},
    {"cvpZeroState", "cvpZeroState"},
    {"PLETH", "pleth"},
    {"ECG", "ecg"},
    {"ABP", "abp"},
    {"PAP", "pap"},
    {"CVP", "cvp"},
    {"CO2", "co2"},
};

const char* memberFor(const std::string& command)
{
    for (const CommandName& entry : kCommandNames)
        if (command == entry.command)
            return entry.member;
    return nullptr;
}

bool isVitalsMember(const std::string& name)
{
    return std::any_of(std::begin(unitmsg::kVitalsDataMembers), std::end(unitmsg::kVitalsDataMembers),
                       [&](const unitmsg::VitalsMember& m) { return name == m.name; });
}

bool isWaveformSlot(const std::string& name)
{
    return std::find(std::begin(unitmsg::kWaveformDataSlots), std::end(unitmsg::kWaveformDataSlots), name) !=
           std::end(unitmsg::kWaveformDataSlots);
}

// The start state of each message: every member unset, in message order.
const pt::ptree& vitalsTemplate()
{
    static const pt::ptree tree = [] {
        pt::ptree t;
        t.put("MessageType", unitmsg::kVitalsDataType);
        pt::ptree& message = t.put_child("Message", pt::ptree());
        for (const unitmsg::VitalsMember& m : unitmsg::kVitalsDataMembers)
            message.push_back({m.name, pt::ptree(m.unset)});
        return t;
    }();
    return tree;
}

const pt::ptree& waveformTemplate()
{
    static const pt::ptree tree = [] {
        pt::ptree t;
        t.put("MessageType", unitmsg::kWaveformDataType);
        pt::ptree& message = t.put_child("Message", pt::ptree());
        for (const char* slot : unitmsg::kWaveformDataSlots)
            message.push_back({slot, pt::ptree(unitmsg::kUnsetSlot)});
        return t;
    }();
    return tree;
}

// The waveform slots hold "[...]" texts; they go out as JSON arrays, the
// untouched ones empty.
std::string waveformJson(const pt::ptree& tree)
{
    std::string text = unitjson::compactJson(tree);
    boost::algorithm::replace_all(text, std::string("\"") + unitmsg::kUnsetSlot + "\"", "[]");
    boost::algorithm::replace_all(text, "\"[", "[");
    boost::algorithm::replace_all(text, "]\"", "]");
    boost::algorithm::trim_right(text);
    return text;
}

using unitmsg::roundToInt;

int clampInt(int v, int lo, int hi)
{
    return std::min(std::max(v, lo), hi);
}

void appendValue(std::string& text, int value)
{
    if (!text.empty())
        text += ',';
    text += std::to_string(value);
}

std::string fixedOneDecimal(float t)
{
    std::ostringstream out;
    out << std::fixed << std::setprecision(1) << t;
    return out.str();
}

float limitTemperature(float degC)
{
    float t = degC > 21.0f ? degC : 21.0f;  // not-a-number also becomes 21
    if (t > 47.0f)
        t = 47.0f;
    return t;
}

constexpr int kIntMin = std::numeric_limits<int>::min();
constexpr int kIntMax = std::numeric_limits<int>::max();

// 5 samples at 50 Hz give 3 values at 30 Hz: input positions 0, 1 2/3, 3 1/3.
std::string resample5to3(std::vector<float>& s, int lo0, int hi0, int lo1, int hi1, int lo2, int hi2)
{
    std::string text;
    std::size_t i = 0;
    for (; i + 5 <= s.size(); i += 5) {
        appendValue(text, clampInt(roundToInt(s[i]), lo0, hi0));
        appendValue(text, clampInt(roundToInt(s[i + 1] + (s[i + 2] - s[i + 1]) * 0.6666667f), lo1, hi1));
        appendValue(text, clampInt(roundToInt(s[i + 3] + (s[i + 4] - s[i + 3]) * 0.33333334f), lo2, hi2));
    }
    s.erase(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(i));
    return text;
}

// 10 samples at 25 Hz give 3 values: input positions 0, 3 1/3, 6 2/3, each
// value passed through `level`.
template <typename Sample, typename Level>
std::string resample10to3(std::vector<Sample>& samples, Level level)
{
    std::string text;
    std::size_t i = 0;
    for (; i + 10 <= samples.size(); i += 10) {
        const Sample* s = samples.data() + i;
        const auto f = [s](int k) { return static_cast<float>(s[k]); };
        appendValue(text, level(f(0)));
        appendValue(text, level(f(3) + (f(4) - f(3)) * 0.33333334f));
        appendValue(text, level(f(6) + (f(7) - f(6)) * 0.6666667f));
    }
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(i));
    return text;
}

}  // namespace

PendingMessages::PendingMessages(std::function<bool()> accepting) : accepting(std::move(accepting)) {}

void PendingMessages::sendCommand(const char* name, int value)
{
    store(name, std::to_string(value));
}

void PendingMessages::sendCommand(const char* name, const char* value)
{
    store(name, value ? value : "");
}

void PendingMessages::sendCommand(const char* name, float value)
{
    std::ostringstream out;
    out << std::setprecision(std::numeric_limits<float>::max_digits10) << value;
    store(name, out.str());
}

void PendingMessages::store(const char* name, const std::string& text)
{
    if (!accepting())
        return;
    const std::string command = name ? name : "";
    const char* member = memberFor(command);
    if (!member) {
        snlog::out() << "iCommandName: [" << command << "] is not in the map!";
        return;
    }
    const std::string path = std::string("Message.") + member;
    if (isVitalsMember(member)) {
        if (vitalsDataSent) {
            vitalsData = vitalsTemplate();
            vitalsDataSent = false;
        }
        const std::string current = vitalsData.get<std::string>(path, "");
        if (!unitmsg::isUnsetValue(current))
            snlog::out(snlog::Priority::warning) << "WARNING: Overwriting << " << path << ": " << current;
        vitalsData.put(path, text);
        lastVitals[member] = text;
    } else if (isWaveformSlot(member)) {
        if (waveformDataSent) {
            waveformData = waveformTemplate();
            waveformDataSent = false;
        }
        const std::string current = waveformData.get<std::string>(path, "");
        if (current != unitmsg::kUnsetSlot)
            snlog::out(snlog::Priority::warning) << "WARNING: Overwriting << " << path << ": " << current;
        waveformData.put(path, "[" + text + "]");
    } else {
        SN_ASSERT(false, "Couldn't find translatedParam [" << member << "] iCommandMessage: [" << text << "]");
    }
}

void PendingMessages::restateVitals()
{
    restating = !lastVitals.empty();
}

std::vector<std::string> PendingMessages::takeChanged()
{
    std::vector<std::string> messages;
    if (restating) {
        restating = false;
        if (vitalsDataSent) {
            vitalsData = vitalsTemplate();
            vitalsDataSent = false;
        }
        // Members changed since the last message keep their newer values.
        for (const auto& member : lastVitals) {
            const std::string path = "Message." + member.first;
            if (unitmsg::isUnsetValue(vitalsData.get<std::string>(path, "")))
                vitalsData.put(path, member.second);
        }
    }
    if (!vitalsDataSent) {
        messages.push_back(unitjson::compactJson(vitalsData));
        vitalsDataSent = true;  // a failed send is not retried
    }
    if (!waveformDataSent) {
        messages.push_back(waveformJson(waveformData));
        waveformDataSent = true;
    }
    return messages;
}

void PendingMessages::sendHR_bpm(int bpm)
{
    sendCommand("HR", clampInt(bpm, 20, 300));
}

void PendingMessages::sendDisableHR()
{
    sendCommand("HR", 0);
}

void PendingMessages::sendRR_brpm(int brpm)
{
    sendCommand("RR", clampInt(brpm, 0, 100));
}

void PendingMessages::sendDisableRR()
{
    sendCommand("RR", 0);
}

void PendingMessages::sendSPO2(int percent)
{
    sendCommand("SPO2", clampInt(percent, 1, 100));
}

void PendingMessages::sendSPO2_ratio(int ratio)
{
    sendCommand("spO2Ratio", clampInt(ratio, 1, 400));
}

void PendingMessages::enableSPO2Probe(bool on)
{
    sendCommand("SPO2_PROBE", on ? "On" : "Off");
}

void PendingMessages::sendNIBP_mmHg(int systolic, int diastolic, int mean)
{
    sendCommand("SBP", clampInt(systolic, 0, 300));
    sendCommand("DBP", clampInt(diastolic, 0, 300));
    sendCommand("MBP", clampInt(mean, 0, 300));
}

void PendingMessages::sendDisableNIBP()
{
    sendCommand("SBP", 0);
    sendCommand("MBP", 0);
    sendCommand("DBP", 0);
}

void PendingMessages::sendT1_degC(float degC)
{
    sendCommand("T1", fixedOneDecimal(limitTemperature(degC)).c_str());
}

void PendingMessages::sendT2_degC(float degC)
{
    sendCommand("T2", fixedOneDecimal(limitTemperature(degC)).c_str());
}

void PendingMessages::sendDisableT1()
{
    sendCommand("T1", 0.0f);
}

void PendingMessages::sendDisableT2()
{
    sendCommand("T2", 0.0f);
}

void PendingMessages::sendCO2_flowFactor(int factor)
{
    sendCommand("co2FlowFactor", clampInt(factor, -1, 1000));
}

void PendingMessages::sendDisableCO2()
{
    sendCommand("CO2", 0);
}

void PendingMessages::sendABP_50Hz(std::vector<float>& samples)
{
    const std::string text = resample5to3(samples, 0, 300, 0, 300, 4, 300);
    if (!text.empty())
        sendCommand("ABP", text.c_str());
}

void PendingMessages::sendPAP_50Hz(std::vector<float>& samples)
{
    const std::string text = resample5to3(samples, kIntMin, kIntMax, kIntMin, kIntMax, kIntMin, kIntMax);
    if (!text.empty())
        sendCommand("PAP", text.c_str());
}

void PendingMessages::sendPLETH_50Hz(std::vector<float>& samples)
{
    const std::string text = resample5to3(samples, 4, 100, 4, 100, 4, 100);
    if (!text.empty())
        sendCommand("PLETH", text.c_str());
}

void PendingMessages::sendCVP_25Hz(std::vector<float>& samples)
{
    const std::string text = resample10to3(samples, [](float v) { return std::max(roundToInt(v), 0); });
    if (!text.empty())
        sendCommand("CVP", text.c_str());
}

void PendingMessages::sendCO2_25Hz(std::vector<int>& samples)
{
    const std::string text =
        resample10to3(samples, [](float v) { return roundToInt(std::max(std::min(v, 80.0f), 1.0f)); });
    if (!text.empty())
        sendCommand("CO2", text.c_str());
}

void PendingMessages::sendECG_100Hz(std::vector<float>& samples)
{
    const auto scale = [](float x) { return clampInt(roundToInt((x + 50.0f) * 27.3f), 0, 4095); };
    std::string text;
    std::size_t i = 0;
    for (; i + 5 <= samples.size(); i += 5) {
        const float* s = samples.data() + i;
        appendValue(text, scale(s[0]));
        appendValue(text, scale(s[1]));
        appendValue(text, scale(s[2]));
        appendValue(text, scale((s[2] + s[3]) * 0.5f));
        appendValue(text, scale(s[3]));
        appendValue(text, scale(s[4]));
    }
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(i));
    if (!text.empty())
        sendCommand("ECG", text.c_str());
}
