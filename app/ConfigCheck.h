#pragma once

#include <string>

// `PatientSimulatorSentrel --check-config -f FILE`: reads the configuration
// file exactly as the bridge does (Configuration::readConfiguration), prints
// every setting as read ("SN>Check: ..." lines) and every problem found
// (standard error), and opens no connection. A problem is anything that would
// stop the bridge: a failed read, or an address the unit link or the
// simulator clients cannot connect to. True when there is none.
bool checkConfiguration(const std::string& path);
