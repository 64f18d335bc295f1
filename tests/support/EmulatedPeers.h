#pragma once

// The emulated unit and simulator servers as most tests start them: on one
// loopback address, serving from the start. For targets that link
// sn_sentrel_emulator and sn_simulator_emulator.

#include "EmulatedUnit.h"
#include "SimulatorEmulator.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace testsupport {

// Both simulator servers on `address`, with the simulation running or paused,
// the feature on or off, and `patientId` active. Throws when they cannot bind.
inline std::unique_ptr<SimulatorEmulator> startedServers(const std::string& address, bool running, bool enabled,
                                                         unsigned patientId = 1)
{
    SimulatorEmulator::Options o;
    o.address = address;
    o.running = running;
    o.enabled = enabled;
    o.patientId = patientId;
    auto servers = std::make_unique<SimulatorEmulator>(o);
    std::string error;
    if (!servers->start(&error))
        throw std::runtime_error("simulator emulator: " + error);
    return servers;
}

} // namespace testsupport
