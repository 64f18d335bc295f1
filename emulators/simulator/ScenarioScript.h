// Scenario files of the emulated simulator: timed console lines.
#pragma once

#include <string>
#include <vector>

namespace simemu {

struct ScenarioLine {
    double at = 0;         // seconds from the start of the script
    std::string command;   // console words
    unsigned lineNumber = 0;
};

// Parses "SECONDS WORDS..." lines; blank lines and '#' comments are skipped.
// False with "line N: reason" on the first malformed line. The result is
// ordered by time, lines of the same time in file order.
bool parseScenario(const std::string& text, std::vector<ScenarioLine>& out, std::string& error);

}  // namespace simemu
