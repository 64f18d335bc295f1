#pragma once

// Helpers every test folder shares: a bounded wait, a temporary folder that
// removes itself (also as the working directory), and the bridge
// configuration file the tests write.

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include <unistd.h>

namespace testsupport {

// Polls `condition` every `step` until it holds or `timeout` has passed;
// returns whether it held. A condition that costs something to ask (a
// browser round trip, a connect) takes a longer step.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = std::chrono::milliseconds(5))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

// Whether a recording line starts with its time, UTC with microseconds:
// {"time":"2026-12-08T10:15:30.123456Z",
inline bool startsWithRecordTime(const std::string& line)
{
    const std::string shape = "{\"time\":\"dddd-dd-ddTdd:dd:dd.ddddddZ\",";
    if (line.size() < shape.size())
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == 'd' ? (line[i] < '0' || line[i] > '9') : line[i] != shape[i])
            return false;
    return true;
}

// A fresh folder under /tmp, removed with everything in it when destroyed.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "sn-test")
    {
        std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
        dirPath = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(dirPath, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dirPath; }
    std::string file(const std::string& name) const { return dirPath + "/" + name; }
    void write(const std::string& name, const std::string& content) const
    {
        std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
        out << content;
        if (!out)
            throw std::runtime_error("cannot write " + file(name));
    }
    std::string read(const std::string& name) const
    {
        std::ifstream in(file(name), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::string dirPath;
};

// Makes `path` the working directory for the guard's life, then goes back.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path)
    {
        char cwd[4096];
        if (!::getcwd(cwd, sizeof cwd))
            throw std::runtime_error(std::string("getcwd: ") + std::strerror(errno));
        previous = cwd;
        if (::chdir(path.c_str()) != 0)
            throw std::runtime_error("chdir " + path + ": " + std::strerror(errno));
    }
    ~WorkingDirectory()
    {
        if (::chdir(previous.c_str()) != 0) {
            // Nothing sensible to do in a destructor; the test process ends soon.
        }
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    std::string previous;
};

// A fresh temporary folder that is the working directory for the object's
// life: the unit adaptor keeps its last-connected address file there, so
// tests running side by side do not share it.
class TempWorkingDirectory : public TempDir {
public:
    explicit TempWorkingDirectory(const std::string& prefix = "sn-cwd") : TempDir(prefix), inDir(path()) {}

private:
    WorkingDirectory inDir;  // left before the folder is removed
};

// A complete bridge configuration: the unit at `unitAddress`, both simulator
// servers at `serverAddress`, one calibration entry per table.
inline std::string bridgeConfigXml(const std::string& unitAddress, const std::string& serverAddress)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<Sentrel>\n"
           "    <IPAddress>" + unitAddress + "</IPAddress>\n"
           "    <SimulatorIP>" + serverAddress + "</SimulatorIP>\n"
           "    <RHMIP>" + serverAddress + "</RHMIP>\n"
           "    <IPRangeStart/>\n"
           "    <IPRangeEnd/>\n"
           "    <SPO2Scale>5</SPO2Scale>\n"
           "    <SerialID>EMU0001</SerialID>\n"
           "    <CO2Calibration><Entry key=\"10\" value=\"200\"/></CO2Calibration>\n"
           "    <SPO2Calibration><Entry key=\"50\" value=\"300\"/></SPO2Calibration>\n"
           "</Sentrel>\n";
}

} // namespace testsupport
