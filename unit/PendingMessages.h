#pragma once

#include <boost/property_tree/ptree.hpp>

#include <functional>
#include <map>
#include <string>
#include <vector>

// The pending VitalsData and WaveformData messages: what the setters stored
// since the streaming thread last sent each message. Setters clamp and
// resample, then store through sendCommand; takeChanged() hands out each
// changed message once, after which the next change starts it again from its
// unset state. No sockets, threads or locks: the owner serialises access.
class PendingMessages {
public:
    // `accepting` tells whether a value may be stored now (the link is up);
    // while it says no, setters store nothing but still consume waveform samples.
    explicit PendingMessages(std::function<bool()> accepting = [] { return true; });

    // Stores `value` under a command name ("HR", "ABP", ...).
    void sendCommand(const char* name, int value);
    void sendCommand(const char* name, const char* value);
    void sendCommand(const char* name, float value);

    void sendHR_bpm(int bpm);
    void sendDisableHR();
    void sendRR_brpm(int brpm);
    void sendDisableRR();
    void sendSPO2(int percent);
    void sendSPO2_ratio(int ratio);
    void enableSPO2Probe(bool on);
    void sendNIBP_mmHg(int systolic, int diastolic, int mean);
    void sendDisableNIBP();
    void sendT1_degC(float degC);
    void sendT2_degC(float degC);
    void sendDisableT1();
    void sendDisableT2();
    void sendCO2_flowFactor(int factor);
    void sendDisableCO2();
    // Waveform setters consume whole groups from the front of `samples`; an
    // unfinished group stays for the next call.
    void sendABP_50Hz(std::vector<float>& samples);
    void sendPAP_50Hz(std::vector<float>& samples);
    void sendPLETH_50Hz(std::vector<float>& samples);
    void sendCVP_25Hz(std::vector<float>& samples);
    void sendCO2_25Hz(std::vector<int>& samples);
    void sendECG_100Hz(std::vector<float>& samples);

    // The compact JSON texts of the messages changed since the last call,
    // VitalsData first, each marked sent.
    std::vector<std::string> takeChanged();
    // The next VitalsData carries every member ever stored, at its last
    // value, not only what changed: for a new link, whose unit may have
    // missed or lost earlier messages. Nothing while nothing was ever stored.
    void restateVitals();

    struct TestAccess;

private:
    void store(const char* name, const std::string& text);

    std::function<bool()> accepting;
    boost::property_tree::ptree vitalsData;
    boost::property_tree::ptree waveformData;
    bool vitalsDataSent = true;
    bool waveformDataSent = true;
    std::map<std::string, std::string> lastVitals;  // member -> the last text stored
    bool restating = false;
};

// What tests may read of the pending state.
struct PendingMessages::TestAccess {
    // The text held by a VitalsData member or WaveformData slot ("<none>"
    // while that message is not pending).
    static std::string vital(const PendingMessages& p, const std::string& member)
    {
        return p.vitalsDataSent ? "<none>" : p.vitalsData.get<std::string>("Message." + member, "<none>");
    }
    static std::string slot(const PendingMessages& p, const std::string& member)
    {
        return p.waveformDataSent ? "<none>" : p.waveformData.get<std::string>("Message." + member, "<none>");
    }
    static bool vitalsPending(const PendingMessages& p) { return !p.vitalsDataSent; }
    static bool waveformPending(const PendingMessages& p) { return !p.waveformDataSent; }
};
