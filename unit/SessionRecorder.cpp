#include "SessionRecorder.h"

#include "UnitJson.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace {

// The MessageType of one of our messages, which all begin with it; "" when
// the text does not say.
std::string messageTypeOf(const std::string& json)
{
    static const std::string kLead = "{\"MessageType\":\"";
    if (json.compare(0, kLead.size(), kLead) == 0) {
        const std::size_t end = json.find('"', kLead.size());
        if (end != std::string::npos && json.find('\\', kLead.size()) > end)
            return json.substr(kLead.size(), end - kLead.size());
    }
    try {
        return unitjson::jsonStringToPtree(json).get<std::string>("MessageType", "");
    } catch (const std::exception&) {
        return std::string();
    }
}

} // namespace

SessionRecorder::SessionRecorder(std::string path) : path(std::move(path))
{
    file = std::fopen(this->path.c_str(), "ab");
    if (!file)
        fail(errno);
}

SessionRecorder::~SessionRecorder()
{
    if (file)
        std::fclose(file);
}

void SessionRecorder::messageWritten(const std::string& json)
{
    append(messageTypeOf(json), "\"message\":" + json);
}

void SessionRecorder::linkChanged(bool connected, const std::string& address)
{
    append("link", std::string("\"event\":\"") + (connected ? "connected" : "disconnected") + "\",\"address\":\"" +
                       unitjson::escapeJsonString(address) + "\"");
}

bool SessionRecorder::recording() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return file != nullptr;
}

std::string SessionRecorder::utcTimestamp()
{
    const boost::posix_time::ptime now = boost::posix_time::microsec_clock::universal_time();
    const boost::gregorian::date day = now.date();
    const boost::posix_time::time_duration tod = now.time_of_day();
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02ld:%02ld:%02ld.%06ldZ", static_cast<int>(day.year()),
                  static_cast<int>(day.month()), static_cast<int>(day.day()), static_cast<long>(tod.hours()),
                  static_cast<long>(tod.minutes()), static_cast<long>(tod.seconds()),
                  static_cast<long>(tod.total_microseconds() % 1000000));
    return text;
}

void SessionRecorder::append(const std::string& type, const std::string& rest)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!file)
        return;
    const std::string line = "{\"time\":\"" + utcTimestamp() + "\",\"type\":\"" + unitjson::escapeJsonString(type) +
                             "\"," + rest + "}\n";
    errno = 0;
    // Flushed line by line, never synced: the stream must not wait on the disk.
    if (std::fwrite(line.data(), 1, line.size(), file) != line.size() || std::fflush(file) != 0)
        fail(errno);
}

void SessionRecorder::fail(int error)
{
    std::cerr << "SN>ERROR>Recording to " << path << " stopped: "
              << (error ? std::strerror(error) : "write failed") << std::endl;
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
}
