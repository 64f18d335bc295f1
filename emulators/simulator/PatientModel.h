// The emulated patient: named values (vital signs, sensor and catheter
// states, hardware-control parameters) and waveform generators driven by the
// heart and respiration rates.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace simemu {

class PatientModel {
public:
    struct Parameter {
        float value = 0;
        bool isInt = false;
        bool sim = false;       // served by the RHM server (SIM protocol)
        double rateHz = 0;      // waveforms only
        double phase = 0;       // waveform cycle position, 0..1
        double pending = 0;     // fractional samples not yet produced
    };

    PatientModel();

    bool has(const std::string& name) const;
    float value(const std::string& name) const;   // 0 when unknown
    bool isWaveform(const std::string& name) const;
    bool isSim(const std::string& name) const;
    // Sets a value (integers are truncated); unknown names become APP floats.
    void set(const std::string& name, float value);

    // Moves the patient's clock on by `seconds` and appends the samples of
    // every waveform produced in that time.
    void advance(double seconds, std::map<std::string, std::vector<float>>& samples);

    // One sample of a waveform at a cycle position (for tests and the generator).
    float sample(const std::string& name, double phase) const;

private:
    void add(const std::string& name, float value, bool isInt, bool sim = false, double rateHz = 0);
    std::map<std::string, Parameter> params_;
};

// The shape of one arterial pulse, 0 (diastole) to 1 (systole), at a cycle position.
float arterialShape(double phase);

}  // namespace simemu
