#pragma once

#include <ctime>
#include <map>
#include <string>

// Settings of the bridge, read from (and written back to) the XML file named
// on the command line. Public data: the bridge reads the members directly.
class Configuration {
public:
    explicit Configuration(const char* path);
    virtual ~Configuration() = default;

    // True when the file was read and both calibration tables hold at least
    // one entry. Tables are not cleared first: repeated reads merge.
    bool readConfiguration();
    // Why the last read failed, as its error line gives it (without the
    // "SN>ERROR>" prefix, up to the first newline); empty after a good read.
    const std::string& readError() const { return lastReadError; }

    // Backs up the current file under a dated name, then writes all members.
    // Throws when the new file cannot be written.
    void writeConfiguration();

    // "<path>.<%d-%m-%Y %H-%M-%S of when, local time>.bak"
    static std::string backupFileName(const std::string& path, std::time_t when);

    std::string filePath;
    int spo2Scale = 5;
    std::string serialID;
    std::string ipAddress;
    std::string ipRangeStart;
    std::string ipRangeEnd;
    std::string simulatorIP = "127.0.0.1";
    std::string rhmIP = "127.0.0.1";
    std::map<float, float> co2Calibration;
    std::map<float, float> spo2Calibration;

private:
    std::string lastReadError;
};
