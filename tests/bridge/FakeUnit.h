#pragma once

// A unit port that records every call as one line of text ("sendHR_bpm 72",
// "sendABP_50Hz 1,2,3"), for the translator's and the calibration
// procedure's tests. The calibration thread calls it too, hence the lock.

#include "BridgeFlags.h"
#include "CalibrationProcedure.h"
#include "ParameterTranslator.h"
#include "UnitPort.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace bridgetest {

class FakeUnit : public UnitPort {
public:
    // What the stored-calibration requests answer; may throw, as a unit
    // that never answers makes the adaptor do.
    std::function<std::string(const char* calType)> answer = [](const char* calType) {
        return std::string("{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"") + calType + "\"}}";
    };

    // The calls so far, and forgets them.
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        out.swap(recorded);
        return out;
    }
    bool streaming() const { return streamVitals; }

    void enableStreamVitals(bool on) override {
        streamVitals = on;
        record("enableStreamVitals", on);
    }
    void sendCommand(const char* name, int value) override { record("sendCommand", name, value); }
    void sendCommand(const char* name, const char* value) override { record("sendCommand", name, value); }
    void sendHR_bpm(int bpm) override { record("sendHR_bpm", bpm); }
    void sendRR_brpm(int brpm) override { record("sendRR_brpm", brpm); }
    void sendSPO2(int percent) override { record("sendSPO2", percent); }
    void sendSPO2_ratio(int ratio) override { record("sendSPO2_ratio", ratio); }
    void sendNIBP_mmHg(int systolic, int diastolic, int mean) override {
        record("sendNIBP_mmHg", systolic, diastolic, mean);
    }
    void sendDisableNIBP() override { record("sendDisableNIBP"); }
    void sendT1_degC(float degC) override { record("sendT1_degC", degC); }
    void sendT2_degC(float degC) override { record("sendT2_degC", degC); }
    void sendDisableT1() override { record("sendDisableT1"); }
    void sendDisableT2() override { record("sendDisableT2"); }
    void sendCO2_flowFactor(int factor) override { record("sendCO2_flowFactor", factor); }
    void sendDisableCO2() override { record("sendDisableCO2"); }
    void sendABP_50Hz(std::vector<float>& samples) override { record("sendABP_50Hz", joined(samples)); }
    void sendPAP_50Hz(std::vector<float>& samples) override { record("sendPAP_50Hz", joined(samples)); }
    void sendPLETH_50Hz(std::vector<float>& samples) override { record("sendPLETH_50Hz", joined(samples)); }
    void sendCVP_25Hz(std::vector<float>& samples) override { record("sendCVP_25Hz", joined(samples)); }
    void sendSnCommand(const std::string& json) override { record("sendSnCommand", json); }
    std::string sendRequestStoredCalibrationNamesSpO2() override {
        record("request SpO2");
        return answer("SpO2");
    }
    std::string sendRequestStoredCalibrationNamesCO2() override {
        record("request CO2");
        return answer("CO2");
    }
    void printJson(const std::string& json) override { record("printJson", json); }

private:
    static std::string joined(const std::vector<float>& samples) {
        std::ostringstream out;
        for (std::size_t i = 0; i < samples.size(); ++i) out << (i ? "," : "") << samples[i];
        return out.str();
    }
    template <typename... Args>
    void record(const char* call, const Args&... args) {
        std::ostringstream line;
        line << call;
        ((line << ' ' << args), ...);
        std::lock_guard<std::mutex> lock(mutex);
        recorded.push_back(line.str());
    }

    std::mutex mutex;
    std::vector<std::string> recorded;
    std::atomic<bool> streamVitals{false};
};

// The translator and the calibration procedure as the bridge wires them, on
// a recording port. Batches are handled under the rig's bridge lock, as the
// bridge does.
struct Rig {
    explicit Rig(const Timing& timing) : calibration(unit, flags, bridgeLock, timing), translator(unit, flags, calibration) {}

    void update(const std::vector<com_vela::CSClient::Parameter>& batch) {
        std::lock_guard<std::mutex> lock(bridgeLock);
        translator.apply(batch);
    }
    void perform(int action, int arg) {
        std::lock_guard<std::mutex> lock(bridgeLock);
        calibration.performCalibration(action, arg);
    }

    FakeUnit unit;
    BridgeFlags flags;
    std::mutex bridgeLock;
    CalibrationProcedure calibration;
    ParameterTranslator translator;
};

}  // namespace bridgetest
