// The console words of the emulated servers that work on what they know.
#include "ServerState.h"

#include <cmath>
#include <cstdlib>

namespace simemu {

namespace {
bool parseFloat(const std::string& s, float& out) {
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != 0 || !std::isfinite(v)) return false;
    out = float(v);
    return true;
}

}  // namespace

std::string stateWord(ServerState& s, const std::vector<std::string>& w, Outgoing& out) {
    const std::string& cmd = w[0];
    if (cmd == "set") {
        float v;
        if (w.size() != 3 || !parseFloat(w[2], v)) return "error: usage: set NAME VALUE";
        if (w[1].size() > 31) return "error: names have at most 31 characters";
        if (!s.idFor(w[1])) return "error: too many names";
        s.setValue(w[1], v);
        return "ok";
    }
    if (cmd == "run" || cmd == "pause") {
        const bool run = cmd == "run";
        s.setRunning(run);
        if (s.patientId && !s.loaded) s.broadcast(kApp, s.runEvent(run, s.patientId), out);
        return "ok";
    }
    if (cmd == "enable" || cmd == "disable") {
        s.setValue("HW_PATMON_ENABLED", cmd == "enable" ? 1.0f : 0.0f);
        return "ok";
    }
    if (cmd == "calib") {
        float a, b;
        if (w.size() != 3 || !parseFloat(w[1], a) || !parseFloat(w[2], b)) return "error: usage: calib ACTION ARG";
        s.model.set("HW_PATMON_CALIB_ARG1", b);
        s.model.set("HW_PATMON_CALIB_ACTION", a);
        s.markDirty("HW_PATMON_CALIB_ACTION");
        s.markDirty("HW_PATMON_CALIB_ARG1");
        return "ok";
    }
    if (cmd == "start") {
        if (s.patientId && !s.loaded) return "error: a patient is already active";
        s.startPatient(s.patientId ? s.patientId : s.nextPatientId++, out);
        return "ok";
    }
    if (cmd == "stop") {
        if (!s.patientId) return "error: no patient is active";
        s.stopPatient(out);
        return "ok";
    }
    if (cmd == "quit") {
        s.quit = true;
        return "ok";
    }
    return "error: unknown word '" + cmd + "' (try help)";
}

}  // namespace simemu
