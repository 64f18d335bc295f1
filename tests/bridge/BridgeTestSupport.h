#pragma once

#include "EmulatedUnit.h"
#include "SimulatorSample.h"
#include "TestSupport.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

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

// What one streaming pass would send, read through the adaptor: members of
// VitalsData that carry a value, and the WaveformData slots that carry
// samples (as "1,2,3").
struct Pending {
    std::map<std::string, std::string> vitals;
    std::map<std::string, std::string> waves;
    bool has(const std::string& member) const { return vitals.count(member) != 0; }
    bool hasWave(const std::string& slot) const { return waves.count(slot) != 0; }
    bool empty() const { return vitals.empty() && waves.empty(); }
};

inline Pending takePending(SentrelAdaptor& adaptor) {
    Pending out;
    for (const std::string& json : SentrelAdaptor::TestAccess::takePending(adaptor)) {
        boost::property_tree::ptree tree;
        std::istringstream in(json);
        boost::property_tree::read_json(in, tree);
        const std::string type = tree.get<std::string>("MessageType");
        for (const auto& member : tree.get_child("Message")) {
            if (type == "VitalsData") {
                const std::string v = member.second.get_value<std::string>();
                if (!unitmsg::isUnsetValue(v)) out.vitals[member.first] = v;
            } else {
                std::string joined;
                for (const auto& s : member.second) {
                    if (!joined.empty()) joined += ",";
                    joined += s.second.get_value<std::string>();
                }
                if (!joined.empty()) out.waves[member.first] = joined;
            }
        }
    }
    return out;
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

inline Pending takePending(SimulatorSample& bridge) { return takePending(Access::adaptor(bridge)); }

// Writes a configuration with the unit and both servers on one loopback
// address into `dir`; returns its path.
inline std::string writeConfig(const testsupport::TempDir& dir, const std::string& address) {
    dir.write("bridge.xml", testsupport::bridgeConfigXml(address, address));
    return dir.file("bridge.xml");
}

// --- The unit adaptor's side.

// Marks the link up without a socket: setters store their values, and with
// no streaming thread the pending messages wait for takePending.
inline void markUnitConnected(SentrelAdaptor& adaptor) { SentrelAdaptor::TestAccess::setConnected(adaptor, true); }
inline bool streamingVitals(const SentrelAdaptor& adaptor) { return SentrelAdaptor::TestAccess::streamVitals(adaptor); }

inline int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
    return n;
}

}  // namespace bridgetest
