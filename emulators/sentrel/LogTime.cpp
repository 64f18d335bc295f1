#include "LogTime.h"

#include <cstdio>
#include <ctime>

std::string utcMillisTimestamp(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto whole = floor<seconds>(t);
    const long long millis = duration_cast<milliseconds>(t - whole).count();
    const std::time_t seconds = system_clock::to_time_t(whole);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];  // room for any year the formatter may be handed
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}
