#pragma once

#include "SimulatorSample.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bridgetest {

using CSClient = com_vela::CSClient;
using Params = std::vector<CSClient::Parameter>;

inline CSClient::Parameter I(const std::string& id, int v) {
    CSClient::Parameter p;
    p.id = id;
    p.value.intValue = v;
    p.type = CSClient::PARAMETER_TYPE_INT;
    return p;
}

inline CSClient::Parameter F(const std::string& id, float v) {
    CSClient::Parameter p;
    p.id = id;
    p.value.floatValue = v;
    p.type = CSClient::PARAMETER_TYPE_FLOAT;
    return p;
}

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

// Runs the test body in a fresh temporary working directory, so files the
// adaptor writes (the last connected address) do not clash between tests.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/sn_bridge_test_XXXXXX";
        const char* made = mkdtemp(tmpl);
        if (!made) throw std::runtime_error("mkdtemp failed");
        path = made;
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) previous = cwd;
        if (chdir(path.c_str()) != 0) throw std::runtime_error("chdir failed");
    }
    ~TempDir() {
        if (!previous.empty() && chdir(previous.c_str()) != 0) {
        }
        std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;

private:
    std::string previous;
};

// A configuration file with the unit and both servers on one loopback address.
inline std::string writeConfig(const TempDir& dir, const std::string& address, const std::string& name = "bridge.xml") {
    const std::string path = dir.file(name);
    std::ofstream out(path);
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<Sentrel>\n"
           "    <IPAddress>" << address << "</IPAddress>\n"
           "    <SimulatorIP>" << address << "</SimulatorIP>\n"
           "    <RHMIP>" << address << "</RHMIP>\n"
           "    <IPRangeStart/>\n"
           "    <IPRangeEnd/>\n"
           "    <SPO2Scale>5</SPO2Scale>\n"
           "    <SerialID>EMU0001</SerialID>\n"
           "    <CO2Calibration><Entry key=\"10\" value=\"200\"/></CO2Calibration>\n"
           "    <SPO2Calibration><Entry key=\"50\" value=\"300\"/></SPO2Calibration>\n"
           "</Sentrel>\n";
    return path;
}

inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
    return n;
}

}  // namespace bridgetest
