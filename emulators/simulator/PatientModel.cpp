#include "PatientModel.h"

#include <cmath>

namespace simemu {

namespace {
constexpr double kPi = 3.14159265358979323846;

double wrap(double p) { return p - std::floor(p); }
}  // namespace

float arterialShape(double phase) {
    double p = wrap(phase);
    if (p < 0.12) return float(std::sin(p / 0.12 * kPi / 2));                  // upstroke
    if (p < 0.35) return float(1.0 - 0.45 * (p - 0.12) / 0.23);                 // systolic decline
    if (p < 0.42) return float(0.55 + 0.08 * std::sin((p - 0.35) / 0.07 * kPi)); // dicrotic wave
    return float(0.55 * std::pow(1.0 - (p - 0.42) / 0.58, 1.5));                 // diastolic run-off
}

PatientModel::PatientModel() {
    add("HRPM", 75, true);
    add("SAO2", 97, false);
    add("EXT_SABP", 120, true);
    add("EXT_DABP", 80, true);
    add("EXT_MAP", 93, true);
    add("SPA", 25, true);
    add("DPA", 10, true);
    add("CVP", 5, true);
    add("RRPM", 14, true);
    add("ETCO2", 38, true);
    add("BODY_TEMP", 37.0f, false);
    add("bloodTemp", 37.2f, false);
    add("PULSE_SENSOR", 1, true);
    add("SPO2_PROBE", 1, true);
    add("CAPNOGRAPH_SENSOR", 1, true);
    add("TEMP_BODY_SENSOR", 1, true);
    add("TEMP_BLOOD_SENSOR", 1, true);
    add("NIBP_SENSOR", 1, true);
    add("SIMULATOR_XCONNECTED", 0, true);
    add("ARTERIAL_CATHETER_DEPTH", 10, true);
    add("CVP_CATHETER_DEPTH", 15, true);
    add("PA_CATHETER_DEPTH", 45, true);
    add("ARTLINE", 0, false, false, 50);
    add("PLINE", 0, false, false, 50);
    add("CVPLINE", 0, false, false, 50);
    add("PLETH", 0, false, false, 50);
    add("CAPNOGRAM", 0, false, false, 25);
    add("HW_PATSPEED", 0, true, true);
    add("HW_PATMON_ENABLED", 0, true, true);
    add("HW_PATMON_CALIB_ACTION", 0, true, true);
    add("HW_PATMON_CALIB_ARG1", 0, true, true);
}

void PatientModel::add(const std::string& name, float value, bool isInt, bool sim, double rateHz) {
    Parameter p;
    p.value = value;
    p.isInt = isInt;
    p.sim = sim;
    p.rateHz = rateHz;
    params_[name] = p;
}

bool PatientModel::has(const std::string& name) const { return params_.count(name) != 0; }

float PatientModel::value(const std::string& name) const {
    auto it = params_.find(name);
    return it == params_.end() ? 0.0f : it->second.value;
}

bool PatientModel::isWaveform(const std::string& name) const {
    auto it = params_.find(name);
    return it != params_.end() && it->second.rateHz > 0;
}

bool PatientModel::isSim(const std::string& name) const {
    auto it = params_.find(name);
    return it != params_.end() && it->second.sim;
}

void PatientModel::set(const std::string& name, float value) {
    auto it = params_.find(name);
    if (it == params_.end()) {
        add(name, value, false);
        return;
    }
    it->second.value = it->second.isInt ? std::trunc(value) : value;
}

float PatientModel::sample(const std::string& name, double phase) const {
    if (name == "ARTLINE") {
        float d = value("EXT_DABP"), s = value("EXT_SABP");
        return d + (s - d) * arterialShape(phase);
    }
    if (name == "PLINE") {
        float d = value("DPA"), s = value("SPA");
        return d + (s - d) * arterialShape(phase - 0.05);
    }
    if (name == "CVPLINE") {
        // a, c and v waves around the mean venous pressure
        double p = wrap(phase);
        double w = 0.6 * std::sin(2 * kPi * p) + 0.4 * std::sin(4 * kPi * p + 1.0);
        return float(value("CVP") + 2.0 * w);
    }
    if (name == "PLETH") return 10.0f + 80.0f * arterialShape(phase - 0.15);
    if (name == "CAPNOGRAM") {
        // respiratory cycle: inspiration at zero, expiratory upstroke, plateau, fall
        double p = wrap(phase);
        double et = value("ETCO2");
        if (p < 0.4) return 0.0f;
        if (p < 0.5) return float(et * 0.9 * (p - 0.4) / 0.1);
        if (p < 0.9) return float(et * (0.9 + 0.1 * (p - 0.5) / 0.4));
        return float(et * (1.0 - (p - 0.9) / 0.1));
    }
    return value(name);
}

void PatientModel::advance(double seconds, std::map<std::string, std::vector<float>>& samples) {
    if (seconds <= 0) return;
    double heartHz = std::max(0.0f, value("HRPM")) / 60.0;
    double breathHz = std::max(0.0f, value("RRPM")) / 60.0;
    for (auto& kv : params_) {
        Parameter& p = kv.second;
        if (p.rateHz <= 0) continue;
        double cycleHz = kv.first == "CAPNOGRAM" ? breathHz : heartHz;
        p.pending += p.rateHz * seconds;
        auto n = static_cast<long>(std::floor(p.pending + 1e-9));
        p.pending -= double(n);
        auto& out = samples[kv.first];
        for (long i = 0; i < n; ++i) {
            p.phase = wrap(p.phase + cycleHz / p.rateHz);
            float v = sample(kv.first, p.phase);
            p.value = v;
            out.push_back(v);
        }
    }
}

}  // namespace simemu
