#pragma once

// The emulated unit as most tests start it: on one loopback address, TCP
// only. For targets that link sn_sentrel_emulator.

#include "SentrelEmulator.h"

#include <memory>
#include <string>

namespace testsupport {

// Options of an emulated unit on `address` with no datagram side.
inline SentrelEmulator::Options unitOptions(const std::string& address)
{
    SentrelEmulator::Options o;
    o.address = address;
    o.udpPort = 0;
    return o;
}

// Such a unit, serving from the start.
inline std::unique_ptr<SentrelEmulator> startedUnit(const std::string& address,
                                                    const SentrelEmulator::Faults& faults = {})
{
    SentrelEmulator::Options o = unitOptions(address);
    o.faults = faults;
    auto unit = std::make_unique<SentrelEmulator>(o);
    unit->start();
    return unit;
}

} // namespace testsupport
