#pragma once

#include "UnitPort.h"

#include <atomic>

// The bridge's single-value flags. The supervision loop and the status line
// read them without the bridge lock; the translator, the calibration
// procedure and shouldPing set them.
struct BridgeFlags {
    std::atomic<bool> debug{false};           // debug console lines
    std::atomic<bool> ping{true};             // the supervision loop pings the unit
    std::atomic<bool> running{false};         // "HW_PATSPEED" is 1
    std::atomic<bool> featureEnabled{false};  // "HW_PATMON_ENABLED" above 0
    std::atomic<bool> calibrating{false};     // calibration mode is active
};

// The ping flag and the unit's vitals streaming move together: a unit that
// gets no vitals is pinged, one that gets them is not.
inline void setPinging(BridgeFlags& flags, UnitPort& unit, bool on) {
    flags.ping = on;
    unit.enableStreamVitals(!on);
}
