#pragma once

#include "SentrelAdaptor.h"
#include "UnitPort.h"

// The unit adaptor as the translator and the calibration procedure see it.
class AdaptorPort : public UnitPort {
public:
    explicit AdaptorPort(SentrelAdaptor& adaptor) : adaptor(adaptor) {}

    void enableStreamVitals(bool on) override { adaptor.enableStreamVitals(on); }
    void sendCommand(const char* name, int value) override { adaptor.sendCommand(name, value); }
    void sendCommand(const char* name, const char* value) override { adaptor.sendCommand(name, value); }
    void sendHR_bpm(int bpm) override { adaptor.sendHR_bpm(bpm); }
    void sendRR_brpm(int brpm) override { adaptor.sendRR_brpm(brpm); }
    void sendSPO2(int percent) override { adaptor.sendSPO2(percent); }
    void sendSPO2_ratio(int ratio) override { adaptor.sendSPO2_ratio(ratio); }
    void sendNIBP_mmHg(int systolic, int diastolic, int mean) override {
        adaptor.sendNIBP_mmHg(systolic, diastolic, mean);
    }
    void sendDisableNIBP() override { adaptor.sendDisableNIBP(); }
    void sendT1_degC(float degC) override { adaptor.sendT1_degC(degC); }
    void sendT2_degC(float degC) override { adaptor.sendT2_degC(degC); }
    void sendDisableT1() override { adaptor.sendDisableT1(); }
    void sendDisableT2() override { adaptor.sendDisableT2(); }
    void sendCO2_flowFactor(int factor) override { adaptor.sendCO2_flowFactor(factor); }
    void sendDisableCO2() override { adaptor.sendDisableCO2(); }
    void sendABP_50Hz(std::vector<float>& samples) override { adaptor.sendABP_50Hz(samples); }
    void sendPAP_50Hz(std::vector<float>& samples) override { adaptor.sendPAP_50Hz(samples); }
    void sendPLETH_50Hz(std::vector<float>& samples) override { adaptor.sendPLETH_50Hz(samples); }
    void sendCVP_25Hz(std::vector<float>& samples) override { adaptor.sendCVP_25Hz(samples); }

    void sendSnCommand(const std::string& json) override { adaptor.sendSnCommand(json); }
    std::string sendRequestStoredCalibrationNamesSpO2() override {
        return adaptor.sendRequestStoredCalibrationNamesSpO2();
    }
    std::string sendRequestStoredCalibrationNamesCO2() override {
        return adaptor.sendRequestStoredCalibrationNamesCO2();
    }
    void printJson(const std::string& json) override { adaptor.printJson(json); }

private:
    SentrelAdaptor& adaptor;
};
