#pragma once

#include "EmulatedUnit.h"
#include "Log.h"
#include "SimulatorSample.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace bridgetest {

using testsupport::startedUnit;

using CSClient = com_vela::CSClient;
using Params = std::vector<CSClient::Parameter>;
using Access = SimulatorSample::TestAccess;

// Short names for the parameter records the tests build by the dozen.
inline CSClient::Parameter I(const std::string& id, int v) { return CSClient::Parameter::makeInt(id, v); }
inline CSClient::Parameter F(const std::string& id, float v) { return CSClient::Parameter::makeFloat(id, v); }

// n samples of one waveform parameter, values first, first+step, ...
inline Params samples(const std::string& id, int n, float first = 0, float step = 1) {
    Params out;
    for (int i = 0; i < n; ++i) out.push_back(F(id, first + step * i));
    return out;
}

inline Params operator+(Params a, const Params& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The bound of every wait in these tests.
constexpr std::chrono::milliseconds kWait{5000};

// The bridge's and the unit link's pauses shortened for tests: connection
// retries, the calibration poll and the save sequence's pauses.
inline Timing shortTiming() {
    Timing t;
    t.retryPause = std::chrono::milliseconds(10);
    t.calibrationPoll = std::chrono::milliseconds(10);
    t.savePause = std::chrono::milliseconds(20);
    return t;
}

// Writes a configuration with the unit and both servers on one loopback
// address into `dir`; returns its path.
inline std::string writeConfig(const testsupport::TempDir& dir, const std::string& address) {
    dir.write("bridge.xml", testsupport::bridgeConfigXml(address, address));
    return dir.file("bridge.xml");
}

// --- The unit adaptor's side.

inline bool streamingVitals(const SentrelAdaptor& adaptor) { return SentrelAdaptor::TestAccess::streamVitals(adaptor); }

inline int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
    return n;
}

}  // namespace bridgetest
