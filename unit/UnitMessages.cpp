#include "UnitMessages.h"

#include "UnitJson.h"

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

std::string wifiCredentialsMessage(const std::string& ssid, const std::string& password)
{
    return std::string(kWifiCredentialsStart) + unitjson::escapeJsonString(ssid) + kWifiCredentialsMiddle +
           unitjson::escapeJsonString(password) + kWifiCredentialsEnd;
}

} // namespace unitmsg
