#include "ScenarioScript.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace simemu {

namespace {
std::string trim(const std::string& s) {
    auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}
}  // namespace

bool parseScenario(const std::string& text, std::vector<ScenarioLine>& out, std::string& error) {
    std::vector<ScenarioLine> lines;
    std::istringstream in(text);
    std::string raw;
    unsigned number = 0;
    while (std::getline(in, raw)) {
        ++number;
        std::string line = trim(raw);
        if (line.empty() || line[0] == '#') continue;
        auto space = line.find_first_of(" \t");
        std::string timeText = line.substr(0, space);
        char* end = nullptr;
        double at = std::strtod(timeText.c_str(), &end);
        if (end == timeText.c_str() || *end != 0 || !std::isfinite(at) || at < 0 || at > 1e7) {
            error = "line " + std::to_string(number) + ": '" + timeText + "' is not a time in seconds";
            return false;
        }
        std::string command = space == std::string::npos ? "" : trim(line.substr(space));
        if (command.empty()) {
            error = "line " + std::to_string(number) + ": no command after the time";
            return false;
        }
        lines.push_back(ScenarioLine{at, command, number});
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const ScenarioLine& a, const ScenarioLine& b) { return a.at < b.at; });
    out = std::move(lines);
    return true;
}

}  // namespace simemu
