#pragma once

#include <string>
#include <vector>

// The unit's operations the parameter translator and the calibration
// procedure use: the setters of the pending VitalsData and WaveformData
// messages, the vitals streaming switch, and the messages and requests the
// calibration save writes at once. The bridge hands them the unit adaptor
// behind it (AdaptorPort); their tests hand them a recording fake.
class UnitPort {
public:
    virtual ~UnitPort() = default;

    // --- Streamed at the adaptor's next pass
    virtual void enableStreamVitals(bool on) = 0;
    virtual void sendCommand(const char* name, int value) = 0;
    virtual void sendCommand(const char* name, const char* value) = 0;
    virtual void sendHR_bpm(int bpm) = 0;
    virtual void sendRR_brpm(int brpm) = 0;
    virtual void sendSPO2(int percent) = 0;
    virtual void sendSPO2_ratio(int ratio) = 0;
    virtual void sendNIBP_mmHg(int systolic, int diastolic, int mean) = 0;
    virtual void sendDisableNIBP() = 0;
    virtual void sendT1_degC(float degC) = 0;
    virtual void sendT2_degC(float degC) = 0;
    virtual void sendDisableT1() = 0;
    virtual void sendDisableT2() = 0;
    virtual void sendCO2_flowFactor(int factor) = 0;
    virtual void sendDisableCO2() = 0;
    virtual void sendABP_50Hz(std::vector<float>& samples) = 0;
    virtual void sendPAP_50Hz(std::vector<float>& samples) = 0;
    virtual void sendPLETH_50Hz(std::vector<float>& samples) = 0;
    virtual void sendCVP_25Hz(std::vector<float>& samples) = 0;

    // --- Written at once (the calibration save)
    virtual void sendSnCommand(const std::string& json) = 0;
    // The unit's answer text.
    virtual std::string sendRequestStoredCalibrationNamesSpO2() = 0;
    virtual std::string sendRequestStoredCalibrationNamesCO2() = 0;
    virtual void printJson(const std::string& json) = 0;
};
