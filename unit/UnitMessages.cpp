#include "UnitMessages.h"

#include "UnitJson.h"

#include <cmath>
#include <limits>

namespace unitmsg {

bool isUnsetValue(const std::string& text)
{
    if (text == kUnsetSlot)
        return true;
    for (const VitalsMember& member : kVitalsDataMembers)
        if (text == member.unset)
            return true;
    return false;
}

int roundToInt(float x)
{
    if (std::isnan(x))
        return 0;
    const float r = std::round(x);
    if (r >= static_cast<float>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (r <= static_cast<float>(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return static_cast<int>(r);
}

std::string wifiCredentialsMessage(const std::string& ssid, const std::string& password)
{
    return std::string(kWifiCredentialsStart) + unitjson::escapeJsonString(ssid) + kWifiCredentialsMiddle +
           unitjson::escapeJsonString(password) + kWifiCredentialsEnd;
}

} // namespace unitmsg
