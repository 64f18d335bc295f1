#include "ConfigCheck.h"

#include "CSCommsInterfaceTCP.h"
#include "Configuration.h"
#include "Log.h"

#include <boost/asio/ip/address.hpp>

#include <map>
#include <sstream>
#include <vector>

namespace {

// What the unit link's connectIP takes: an address make_address reads.
bool unitAddress(const std::string& text)
{
    boost::system::error_code error;
    boost::asio::ip::make_address(text, error);
    return !error;
}

// What the simulator clients take: their own conversion, 0xFFFFFFFF for
// anything else (and for 255.255.255.255, which is no server either).
bool simulatorAddress(const std::string& text)
{
    return com_vela::CSCommsInterfaceTCP::convertIPAddressToOctet(text.c_str()) != 0xFFFFFFFFu;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string tableText(const std::map<float, float>& table)
{
    std::ostringstream text;
    text << table.size() << (table.size() == 1 ? " entry" : " entries");
    const char* separator = ": ";
    for (const auto& kv : table) {
        text << separator << kv.first << " -> " << kv.second;
        separator = ", ";
    }
    return text.str();
}

}  // namespace

bool checkConfiguration(const std::string& path)
{
    Configuration configuration(path.c_str());
    // The reader's own lines, held so that each goes out again ending its
    // line (a failed read's last line has no newline): the check's lines follow.
    std::vector<snlog::Record> readLines;
    bool read = false;
    {
        snlog::ThreadHold hold;
        read = configuration.readConfiguration();
        readLines = hold.lines();
    }
    for (const snlog::Record& line : readLines)
        snlog::write(line.stream, line.priority, line.text);

    const Configuration& c = configuration;
    const std::vector<std::pair<const char*, std::string>> settings = {
        {"IPAddress", quoted(c.ipAddress)},
        {"SimulatorIP", quoted(c.simulatorIP)},
        {"RHMIP", quoted(c.rhmIP)},
        {"IPRangeStart", quoted(c.ipRangeStart)},
        {"IPRangeEnd", quoted(c.ipRangeEnd)},
        {"SerialID", quoted(c.serialID)},
        {"SPO2Scale", std::to_string(c.spo2Scale)},
        {"CO2Calibration", tableText(c.co2Calibration)},
        {"SPO2Calibration", tableText(c.spo2Calibration)},
    };
    for (const auto& setting : settings)
        snlog::out() << "SN>Check: " << setting.first << " " << setting.second;

    std::vector<std::string> problems;
    if (!read)
        problems.push_back(configuration.readError());
    if (read && !unitAddress(c.ipAddress))
        problems.push_back("IPAddress " + quoted(c.ipAddress) + " is no IP address");
    if (read && !simulatorAddress(c.simulatorIP))
        problems.push_back("SimulatorIP " + quoted(c.simulatorIP) + " is no IPv4 address");
    if (read && !simulatorAddress(c.rhmIP))
        problems.push_back("RHMIP " + quoted(c.rhmIP) + " is no IPv4 address");

    for (const std::string& problem : problems)
        snlog::err() << "SN>ERROR>Check: " << problem;
    if (problems.empty())
        snlog::out() << "SN>Check: " << path << " is a usable configuration";
    else
        snlog::err() << "SN>ERROR>Check: " << path << " is not usable: " << problems.size()
                     << (problems.size() == 1 ? " problem" : " problems");
    return problems.empty();
}
