#include "SentrelAdaptor.h"

#include "AssertionFailureException.h"
#include "SocketFlags.h"

#include "UdpAdaptor.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <limits>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <system_error>

namespace pt = boost::property_tree;
using boost::asio::ip::tcp;

void UdpLinkDeleter::operator()(UdpAdaptor* link) const
{
    delete link;
}

std::string SentrelAdaptor::LastConnectedIP;

namespace {

const char* const kLastConnectedFile = "_lastconnectedIPAddress.txt";

struct CommandName {
    const char* command;
    const char* member;
};

// Command names used by the setters and the bridge, and the message members
// they fill.
const CommandName kCommandNames[] = {
    {"HR", "hr"},
    {"SBP", "sbp"},
    {"DBP", "dbp"},
    {"MBP", "mbp"},
    {"SPA", "sPAP"},
    {"DPA", "dPAP"},
    {"MPA", "mPAP"},
    {"T1", "t1"},
    {"T2", "t2"},
    {"RR", "rr"},
    {"etCO2", "etCO2"},
    {"co2FlowFactor", "co2FlowFactor"},
    {"SPO2", "spO2"},
    {"spO2Ratio", "spO2Ratio"},
    {"SPO2_PROBE", "spo2Override"},
    {"abpZeroState", "abpZeroState"},
    {"papZeroState", "papZeroState"},
    {"cvpZeroState", "cvpZeroState"},
    {"PLETH", "pleth"},
    {"ECG", "ecg"},
    {"ABP", "abp"},
    {"PAP", "pap"},
    {"CVP", "cvp"},
    {"CO2", "co2"},
};

const char* const kVitalsMembers[] = {
    "hr",  "sbp", "dbp",   "mbp",           "sPAP", "dPAP",      "mPAP",
    "CVP", "t1",  "t2",    "rr",            "etCO2", "co2FlowFactor", "spO2",
    "spO2Ratio",  "spo2Override", "abpZeroState", "papZeroState", "cvpZeroState",
};

const char* const kWaveformSlots[] = {"pleth", "ecg", "abp", "pap", "cvp", "aux", "co2"};

template <std::size_t N>
bool contains(const char* const (&list)[N], const std::string& name)
{
    return std::find(std::begin(list), std::end(list), name) != std::end(list);
}

const char* memberFor(const std::string& command)
{
    for (const CommandName& entry : kCommandNames)
        if (command == entry.command)
            return entry.member;
    return nullptr;
}

const pt::ptree& vitalsTemplate()
{
    static const pt::ptree tree = [] {
        std::istringstream in(SentrelAdaptor::kVitalsDataTemplate);
        pt::ptree t;
        pt::read_json(in, t);
        return t;
    }();
    return tree;
}

const pt::ptree& waveformTemplate()
{
    static const pt::ptree tree = [] {
        std::istringstream in(SentrelAdaptor::kWaveformDataTemplate);
        pt::ptree t;
        pt::read_json(in, t);
        return t;
    }();
    return tree;
}

std::string compactJson(const pt::ptree& tree)
{
    std::ostringstream out;
    pt::write_json(out, tree, false);
    std::string text = out.str();
    boost::algorithm::trim_right(text);
    return text;
}

// The waveform slots hold "[...]" texts; they go out as JSON arrays, the
// untouched ones empty.
std::string waveformJson(const pt::ptree& tree)
{
    std::string text = compactJson(tree);
    boost::algorithm::replace_all(text, "\"REPLACE\"", "[]");
    boost::algorithm::replace_all(text, "\"[", "[");
    boost::algorithm::replace_all(text, "]\"", "]");
    boost::algorithm::trim_right(text);
    return text;
}

// Nearest integer, halves away from zero; a sample that is not a number
// counts as 0 and the result stays within the int range.
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

int clampInt(int v, int lo, int hi)
{
    return std::min(std::max(v, lo), hi);
}

void appendValue(std::string& text, int value)
{
    if (!text.empty())
        text += ',';
    text += std::to_string(value);
}

std::string fixedOneDecimal(float t)
{
    std::ostringstream out;
    out << std::fixed << std::setprecision(1) << t;
    return out.str();
}

float limitTemperature(float degC)
{
    float t = degC > 21.0f ? degC : 21.0f;  // not-a-number also becomes 21
    if (t > 47.0f)
        t = 47.0f;
    return t;
}

void printSystemError(const char* where, const boost::system::error_code& ec)
{
    std::cout << where << ": Error occured! Error code = " << ec.category().name() << ":"
              << ec.value() << ". Message: " << ec.message() << std::endl;
}

}  // namespace

SentrelAdaptor::SentrelAdaptor() = default;

SentrelAdaptor::~SentrelAdaptor()
{
    // The streaming thread works on this object: stop it before anything goes.
    stopStreaming();
}

void SentrelAdaptor::stopStreaming()
{
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopRequested = true;
    }
    stopSignal.notify_all();
    if (streamThread.joinable())
        streamThread.join();
}

bool SentrelAdaptor::waitForStop(Clock::time_point until)
{
    std::unique_lock<std::mutex> lock(stopMutex);
    return stopSignal.wait_until(lock, until, [this] { return stopRequested; });
}

// ---------------------------------------------------------------------------
// Messages and frames

void SentrelAdaptor::sendSnCommand(std::string json)
{
    if (debugMode)
        std::cout << now_str() << ": [" << json << "]" << std::endl;
    writeToWire(frameUnitMessage(json));
}

std::string SentrelAdaptor::sendSnRequest(std::string json)
{
    writeToWire(frameUnitMessage(json));
    return receiveSNResponse();
}

std::shared_ptr<SentrelAdaptor::Socket> SentrelAdaptor::currentSocket(std::uint64_t* generation)
{
    std::lock_guard<std::mutex> lock(socketMutex);
    if (generation)
        *generation = socketGeneration;
    return unitSocket;
}

void SentrelAdaptor::writeToWire(const std::string& frame)
{
    std::lock_guard<std::mutex> wire(wireMutex);
    // Our own reference keeps the socket alive if connect replaces it meanwhile.
    const std::shared_ptr<Socket> socket = currentSocket();
    boost::system::error_code ec;
    if (!socket || !socket->is_open()) {
        ec = boost::asio::error::not_connected;
    } else {
        const int fd = socket->native_handle();
        const Clock::time_point deadline = Clock::now() + writeTimeout;
        std::size_t done = 0;
        while (done < frame.size()) {
            const ssize_t n = ::send(fd, frame.data() + done, frame.size() - done, kSendNoSignal);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // A unit that stops reading must not hold the wire for ever.
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - Clock::now());
                if (left.count() <= 0) {
                    ec = boost::asio::error::timed_out;
                    break;
                }
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, static_cast<int>(left.count()) + 1);
                continue;
            }
            ec = boost::system::error_code(n < 0 ? errno : EPIPE, boost::system::system_category());
            break;
        }
    }
    if (ec) {
        printSystemError("SentrelAdaptor::writeToWire", ec);
        connected = false;
    }
}

std::string SentrelAdaptor::receiveSNResponse()
{
    return receiveUntil(Clock::now() + replyTimeout, "a reply");
}

std::string SentrelAdaptor::receiveUntil(Clock::time_point deadline, const char* awaited)
{
    try {
        std::uint64_t generation = 0;
        const std::shared_ptr<Socket> socket = currentSocket(&generation);
        if (generation != replyBufferGeneration) {
            // Bytes of a replaced connection belong to no reply on the new one.
            replyBuffer.clear();
            replyBufferGeneration = generation;
        }
        std::string reply, error;
        char chunk[65536];
        for (;;) {
            switch (replyBuffer.next(reply, error)) {
            case UnitFrameParser::Status::Frame:
                return reply;
            case UnitFrameParser::Status::Error:
                throw std::runtime_error("read_until: " + error);
            case UnitFrameParser::Status::NeedMore:
                break;
            }
            if (!socket || !socket->is_open())
                throw boost::system::system_error(boost::asio::error::not_connected, "read_until");
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                throw std::runtime_error("read_until: no " + std::string(awaited) +
                                         " from the Sentrel unit within " +
                                         std::to_string(replyTimeout.count()) + " ms");
            const int fd = socket->native_handle();
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)) + 1);
            if (ready <= 0)
                continue;
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n > 0) {
                replyBuffer.append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0) {
                throw boost::system::system_error(boost::asio::error::eof, "read_until");
            } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                throw boost::system::system_error(
                    boost::system::error_code(errno, boost::system::system_category()), "read_until");
            }
        }
    } catch (const std::exception& e) {
        std::cout << "ERROR: Exception thrown within receiveSNResponse!" << std::endl
                  << e.what() << std::endl;
        throw;
    }
}

std::string SentrelAdaptor::verifyMessage(std::string response)
{
    return verifyUnitReply(response);
}

std::string SentrelAdaptor::getJsonKeyValue(std::string json, std::string key)
{
    try {
        const pt::ptree tree = jsonStringToPtree(json);
        return tree.get<std::string>(key);
    } catch (const std::exception& e) {
        std::cerr << "SN>ERROR>" << e.what() << std::endl
                  << "Error while trying to locate value for key: " << key << std::endl;
        return std::string();
    }
}

pt::ptree SentrelAdaptor::jsonStringToPtree(std::string json)
{
    std::istringstream in(json);
    pt::ptree tree;
    pt::read_json(in, tree);
    return tree;
}

void SentrelAdaptor::printJson(std::string json)
{
    const pt::ptree tree = jsonStringToPtree(json);
    std::ostringstream out;
    pt::write_json(out, tree, true);
    std::cout << out.str() << std::endl;
}

std::string SentrelAdaptor::now_str()
{
    const boost::posix_time::ptime now = boost::posix_time::microsec_clock::local_time();
    const boost::posix_time::time_duration tod = now.time_of_day();
    char text[32];
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld.%03ld", static_cast<long>(tod.hours()),
                  static_cast<long>(tod.minutes()), static_cast<long>(tod.seconds()),
                  static_cast<long>(tod.total_milliseconds() % 1000));
    return text;
}

void SentrelAdaptor::enableDebugMode()
{
    debugMode = true;
}

// ---------------------------------------------------------------------------
// Vitals and waveforms

void SentrelAdaptor::sendCommand(const char* name, int value)
{
    storeCommand(name, std::to_string(value));
}

void SentrelAdaptor::sendCommand(const char* name, const char* value)
{
    storeCommand(name, value ? value : "");
}

void SentrelAdaptor::sendCommand(const char* name, float value)
{
    std::ostringstream out;
    out << std::setprecision(std::numeric_limits<float>::max_digits10) << value;
    storeCommand(name, out.str());
}

void SentrelAdaptor::storeCommand(const char* name, const std::string& text)
{
    if (!connected)
        return;
    const std::string command = name ? name : "";
    const char* member = memberFor(command);
    if (!member) {
        std::cout << "iCommandName: [" << command << "] is not in the map!" << std::endl;
        return;
    }
    const std::string path = std::string("Message.") + member;
    if (contains(kVitalsMembers, member)) {
        std::lock_guard<std::mutex> lock(dataMutex);
        if (vitalsDataSent) {
            vitalsData = vitalsTemplate();
            vitalsDataSent = false;
        }
        const std::string current = vitalsData.get<std::string>(path, "");
        if (current != "REPLACE" && current != "-1" && current != "Unknown" && current != "None")
            std::cout << "WARNING: Overwriting << " << path << ": " << current << std::endl;
        vitalsData.put(path, text);
    } else if (contains(kWaveformSlots, member)) {
        std::lock_guard<std::mutex> lock(dataMutex);
        if (waveformDataSent) {
            waveformData = waveformTemplate();
            waveformDataSent = false;
        }
        const std::string current = waveformData.get<std::string>(path, "");
        if (current != "REPLACE")
            std::cout << "WARNING: Overwriting << " << path << ": " << current << std::endl;
        waveformData.put(path, "[" + text + "]");
    } else {
        SN_ASSERT(false, "Couldn't find translatedParam [" << member << "] iCommandMessage: ["
                                                           << text << "]");
    }
}

void SentrelAdaptor::sendHR_bpm(int bpm)
{
    sendCommand("HR", clampInt(bpm, 20, 300));
}

void SentrelAdaptor::sendDisableHR()
{
    sendCommand("HR", 0);
}

void SentrelAdaptor::sendRR_brpm(int brpm)
{
    sendCommand("RR", clampInt(brpm, 0, 100));
}

void SentrelAdaptor::sendDisableRR()
{
    sendCommand("RR", 0);
}

void SentrelAdaptor::sendSPO2(int percent)
{
    sendCommand("SPO2", clampInt(percent, 1, 100));
}

void SentrelAdaptor::sendSPO2_ratio(int ratio)
{
    sendCommand("spO2Ratio", clampInt(ratio, 1, 400));
}

void SentrelAdaptor::enableSPO2Probe(bool on)
{
    sendCommand("SPO2_PROBE", on ? "On" : "Off");
}

void SentrelAdaptor::sendNIBP_mmHg(int systolic, int diastolic, int mean)
{
    sendCommand("SBP", clampInt(systolic, 0, 300));
    sendCommand("DBP", clampInt(diastolic, 0, 300));
    sendCommand("MBP", clampInt(mean, 0, 300));
}

void SentrelAdaptor::sendDisableNIBP()
{
    sendCommand("SBP", 0);
    sendCommand("MBP", 0);
    sendCommand("DBP", 0);
}

void SentrelAdaptor::sendT1_degC(float degC)
{
    sendCommand("T1", fixedOneDecimal(limitTemperature(degC)).c_str());
}

void SentrelAdaptor::sendT2_degC(float degC)
{
    sendCommand("T2", fixedOneDecimal(limitTemperature(degC)).c_str());
}

void SentrelAdaptor::sendDisableT1()
{
    sendCommand("T1", 0.0f);
}

void SentrelAdaptor::sendDisableT2()
{
    sendCommand("T2", 0.0f);
}

void SentrelAdaptor::sendCO2_flowFactor(int factor)
{
    sendCommand("co2FlowFactor", clampInt(factor, -1, 1000));
}

void SentrelAdaptor::sendDisableCO2()
{
    sendCommand("CO2", 0);
}

namespace {

// 5 samples at 50 Hz give 3 values at 30 Hz.
void resample5to3(std::vector<float>& s, std::string& text, int lo0, int hi0, int lo1, int hi1,
                  int lo2, int hi2)
{
    std::size_t i = 0;
    for (; i + 5 <= s.size(); i += 5) {
        appendValue(text, clampInt(roundToInt(s[i]), lo0, hi0));
        appendValue(text, clampInt(roundToInt(s[i + 1] + (s[i + 2] - s[i + 1]) * 0.6666667f), lo1, hi1));
        appendValue(text, clampInt(roundToInt(s[i + 3] + (s[i + 4] - s[i + 3]) * 0.33333334f), lo2, hi2));
    }
    s.erase(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(i));
}

constexpr int kIntMin = std::numeric_limits<int>::min();
constexpr int kIntMax = std::numeric_limits<int>::max();

}  // namespace

void SentrelAdaptor::sendABP_50Hz(std::vector<float>& samples)
{
    std::string text;
    resample5to3(samples, text, 0, 300, 0, 300, 4, 300);
    if (!text.empty())
        sendCommand("ABP", text.c_str());
}

void SentrelAdaptor::sendPAP_50Hz(std::vector<float>& samples)
{
    std::string text;
    resample5to3(samples, text, kIntMin, kIntMax, kIntMin, kIntMax, kIntMin, kIntMax);
    if (!text.empty())
        sendCommand("PAP", text.c_str());
}

void SentrelAdaptor::sendPLETH_50Hz(std::vector<float>& samples)
{
    std::string text;
    resample5to3(samples, text, 4, 100, 4, 100, 4, 100);
    if (!text.empty())
        sendCommand("PLETH", text.c_str());
}

void SentrelAdaptor::sendCVP_25Hz(std::vector<float>& samples)
{
    std::string text;
    std::size_t i = 0;
    for (; i + 10 <= samples.size(); i += 10) {
        const float* s = samples.data() + i;
        appendValue(text, std::max(roundToInt(s[0]), 0));
        appendValue(text, std::max(roundToInt(s[3] + (s[4] - s[3]) * 0.33333334f), 0));
        appendValue(text, std::max(roundToInt(s[6] + (s[7] - s[6]) * 0.6666667f), 0));
    }
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(i));
    if (!text.empty())
        sendCommand("CVP", text.c_str());
}

void SentrelAdaptor::sendCO2_25Hz(std::vector<int>& samples)
{
    const auto level = [](float v) { return roundToInt(std::max(std::min(v, 80.0f), 1.0f)); };
    std::string text;
    std::size_t i = 0;
    for (; i + 10 <= samples.size(); i += 10) {
        const int* s = samples.data() + i;
        const auto f = [s](int k) { return static_cast<float>(s[k]); };
        appendValue(text, level(f(0)));
        appendValue(text, level(f(3) + (f(4) - f(3)) * 0.33333334f));
        appendValue(text, level(f(6) + (f(7) - f(6)) * 0.6666667f));
    }
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(i));
    if (!text.empty())
        sendCommand("CO2", text.c_str());
}

void SentrelAdaptor::sendECG_100Hz(std::vector<float>& samples)
{
    const auto scale = [](float x) { return clampInt(roundToInt((x + 50.0f) * 27.3f), 0, 4095); };
    std::string text;
    std::size_t i = 0;
    for (; i + 5 <= samples.size(); i += 5) {
        const float* s = samples.data() + i;
        appendValue(text, scale(s[0]));
        appendValue(text, scale(s[1]));
        appendValue(text, scale(s[2]));
        appendValue(text, scale((s[2] + s[3]) * 0.5f));
        appendValue(text, scale(s[3]));
        appendValue(text, scale(s[4]));
    }
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(i));
    if (!text.empty())
        sendCommand("ECG", text.c_str());
}

std::vector<std::string> SentrelAdaptor::takePendingMessages()
{
    std::vector<std::string> messages;
    std::lock_guard<std::mutex> lock(dataMutex);
    if (!vitalsDataSent) {
        messages.push_back(compactJson(vitalsData));
        vitalsDataSent = true;
    }
    if (!waveformDataSent) {
        messages.push_back(waveformJson(waveformData));
        waveformDataSent = true;
    }
    return messages;
}

void SentrelAdaptor::streamingPass()
{
    std::lock_guard<std::mutex> lock(dataMutex);
    if (!vitalsDataSent) {
        sendSnCommand(compactJson(vitalsData));
        vitalsDataSent = true;  // a failed send is not retried
    }
    if (!waveformDataSent) {
        sendSnCommand(waveformJson(waveformData));
        waveformDataSent = true;
    }
}

void SentrelAdaptor::sendVitalWaveDataThread()
{
    try {
        Clock::time_point nextPass = Clock::now();
        Clock::time_point lastPass = nextPass - streamPeriod;
        bool resuming = false;
        for (;;) {
            if (!connected || !streamVitals) {
                resuming = true;
                if (waitForStop(Clock::now() + streamIdlePoll))
                    return;
                continue;
            }
            const Clock::time_point now = Clock::now();
            if (resuming) {
                // Start the schedule afresh: what gathered while idle goes out
                // in one pass, not in a burst of passes catching up.
                nextPass = std::max(now, lastPass + streamPeriod);
                resuming = false;
            } else if (now - nextPass > streamPeriod) {
                nextPass = now;  // late by more than a period: never catch up further
            }
            if (nextPass > now && waitForStop(nextPass))
                return;
            {
                std::lock_guard<std::mutex> lock(stopMutex);
                if (stopRequested)
                    return;
            }
            lastPass = Clock::now();
            streamingPass();
            ++streamingPasses;
            nextPass += streamPeriod;
        }
    } catch (const std::exception& e) {
        std::cout << "exiting sendVitalWaveDataThread loop..." << std::endl << e.what() << std::endl;
    }
}

// ---------------------------------------------------------------------------
// Connection

bool SentrelAdaptor::initialize(const std::string& serialId, const std::string& fixedIp,
                                const std::string& rangeStart, const std::string& rangeEnd,
                                bool retryForever)
{
    (void)serialId;
    (void)rangeStart;
    (void)rangeEnd;
    std::cout << "SN>Initialization of the Sentrel adapter..." << std::endl;
    if (LastConnectedIP.empty())
        LoadLastConnectedIP();
    connected = false;

    for (unsigned pass = 1;; ++pass) {
        if (fixedIp.empty())
            SN_ASSERT(false, "We've got a problem, you reached here.");
        std::cout << "Fixed IP configured: " << fixedIp << std::endl;
        if (connectIP(serialId, fixedIp, 10))
            break;
        std::this_thread::sleep_for(passPause);
        if (connected)
            break;
        if (!retryForever && pass >= 10)
            break;
    }

    if (connected && !streamThreadStarted) {
        try {
            streamThread = std::thread(&SentrelAdaptor::sendVitalWaveDataThread, this);
        } catch (const std::system_error& e) {
            throw std::system_error(e.code(), "thread constructor failed");
        }
        streamThreadStarted = true;
    }
    return connected;
}

bool SentrelAdaptor::connectIP(const std::string&, const std::string& ip, unsigned attempts)
{
    const boost::asio::ip::address address = boost::asio::ip::make_address(ip);
    unitEndpoint = tcp::endpoint(address, kUnitPort);
    for (unsigned i = 0; i < attempts; ++i) {
        try {
            connect();
            break;
        } catch (const boost::system::system_error& e) {
            printSystemError("SentrelAdaptor::connectIP", e.code());
        }
    }
    if (connected) {
        LastConnectedIP = ip;
        SaveLastConnectedIP();
    } else {
        std::cout << "SN>Failed to find or could not connect to Sentrel on IP " << ip << std::endl;
    }
    return connected;
}

void SentrelAdaptor::connect()
{
    std::cout << "Connecting to " << unitEndpoint.address().to_string() << ":" << unitEndpoint.port()
              << "..." << std::endl;
    auto socket = std::make_shared<Socket>(ioService);
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        unitSocket = socket;  // the old socket closes when its last writer lets go
        ++socketGeneration;
    }
    socket->connect(unitEndpoint);
    // Reads and writes wait on poll() with a deadline, never in the socket call.
    socket->native_non_blocking(true);
    connected = true;
    std::cout << "Connected." << std::endl;
}

void SentrelAdaptor::close()
{
    std::cout << "Closing socket." << std::endl;
    std::shared_ptr<Socket> socket = currentSocket();
    if (!socket)
        return;
    socket->shutdown(tcp::socket::shutdown_both);
    socket->close();
    std::lock_guard<std::mutex> lock(socketMutex);
    if (unitSocket == socket)
        unitSocket.reset();
}

void SentrelAdaptor::LoadLastConnectedIP()
{
    try {
        std::ifstream in(kLastConnectedFile, std::ios::binary);
        if (!in)
            throw std::runtime_error("no last connected address");
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const boost::asio::ip::address_v4 address = boost::asio::ip::make_address_v4(text);
        LastConnectedIP = address.to_string();
        std::cout << "Loaded last connected IP " << LastConnectedIP << std::endl;
    } catch (const std::exception&) {
        LastConnectedIP.clear();
    }
}

void SentrelAdaptor::SaveLastConnectedIP()
{
    try {
        std::ofstream out(kLastConnectedFile, std::ios::binary | std::ios::trunc);
        if (out)
            out << LastConnectedIP;
    } catch (const std::exception&) {
        LastConnectedIP.clear();
    }
}

void SentrelAdaptor::sendPing()
{
    sendSnCommand(kCalSelectPing);
}

bool SentrelAdaptor::checkConnection()
{
    return connected;
}

void SentrelAdaptor::enableStreamVitals(bool on)
{
    streamVitals = on;
}

// ---------------------------------------------------------------------------
// Status, Wi-Fi and stored calibrations

std::string SentrelAdaptor::awaitReply(const std::string& request, const char* awaited,
                                       bool (SentrelAdaptor::*matches)(const std::string& json))
{
    // Replies carry no request number: read and drop what is not ours, but
    // only for so long, so that a silent unit cannot hang the requester.
    const Clock::time_point deadline = Clock::now() + replyTimeout;
    writeToWire(frameUnitMessage(request));
    std::string json = verifyMessage(receiveUntil(deadline, awaited));
    while (!(this->*matches)(json))
        json = verifyMessage(receiveUntil(deadline, awaited));
    return json;
}

bool SentrelAdaptor::isStatusData(const std::string& json)
{
    const std::string type = getJsonKeyValue(json, "MessageType");
    if (type == "StatusData")
        return true;
    std::cout << "sendRequestOtherStatus Re-request: Received " << type
              << ", looking for StatusData.." << std::endl
              << json << std::endl
              << "re-reading incoming messages" << std::endl;
    return false;
}

bool SentrelAdaptor::isNetworkStatusData(const std::string& json)
{
    const std::string type = getJsonKeyValue(json, "MessageType");
    if (type == "NetworkStatusData")
        return true;
    std::cout << "sendRequestNetworkStatus Re-request: Received " << type
              << ", looking for NetworkStatusData.." << std::endl
              << json << std::endl
              << "re-reading incoming messages" << std::endl;
    return false;
}

bool SentrelAdaptor::isCalList(const std::string& json, const char* type, const char* other,
                               const char* requester)
{
    if (getJsonKeyValue(json, "MessageType") != "CalList") {
        std::cout << requester
                  << " Re-request: something other than cal message received; something else.."
                  << std::endl
                  << json << std::endl
                  << "re-reading incoming messages" << std::endl;
        return false;
    }
    if (getJsonKeyValue(json, "Message.calType") == type)
        return true;
    std::cout << requester << " Re-request: " << other << " cal result received by mistake..."
              << std::endl
              << json << std::endl
              << "re-reading incoming messages" << std::endl;
    return false;
}

bool SentrelAdaptor::isCalListSpO2(const std::string& json)
{
    return isCalList(json, "SpO2", "CO2", "sendRequestStoredCalibrationNamesSpO2");
}

bool SentrelAdaptor::isCalListCO2(const std::string& json)
{
    return isCalList(json, "CO2", "SpO2", "sendRequestStoredCalibrationNamesCO2");
}

std::string SentrelAdaptor::sendRequestOtherStatus()
{
    return awaitReply(kStatusRequestOther, "StatusData", &SentrelAdaptor::isStatusData);
}

void SentrelAdaptor::getBattery()
{
    const std::string json = sendRequestOtherStatus();
    const std::string level = getJsonKeyValue(json, "Message.battLvlPerc");
    const std::string pluggedIn = getJsonKeyValue(json, "Message.pluggedIn");
    std::cout << "SN>Battery level: " << level << " plugged in: " << pluggedIn << std::endl;
}

std::string SentrelAdaptor::sendRequestNetworkStatus()
{
    return awaitReply(kStatusRequestNetwork, "NetworkStatusData",
                      &SentrelAdaptor::isNetworkStatusData);
}

std::string SentrelAdaptor::sendRequestStoredCalibrationNamesSpO2()
{
    return awaitReply(kCalListRequestSpO2, "CalList for SpO2", &SentrelAdaptor::isCalListSpO2);
}

std::string SentrelAdaptor::sendRequestStoredCalibrationNamesCO2()
{
    return awaitReply(kCalListRequestCO2, "CalList for CO2", &SentrelAdaptor::isCalListCO2);
}

std::string SentrelAdaptor::escapeJsonString(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string SentrelAdaptor::wifiCredentialsMessage(const std::string& ssid,
                                                   const std::string& password)
{
    // Escaped, so that a quote or backslash cannot break the message or add members.
    return std::string(kWifiCredentialsStart) + escapeJsonString(ssid) + kWifiCredentialsMiddle +
           escapeJsonString(password) + kWifiCredentialsEnd;
}

bool SentrelAdaptor::setWifiCfg(const char* ssid, const char* password)
{
    sendSnCommand(wifiCredentialsMessage(ssid ? ssid : "", password ? password : ""));
    std::this_thread::sleep_for(wifiJoinWait);  // the unit needs time to join
    const std::string json = sendRequestNetworkStatus();
    const std::string joinedSsid = getJsonKeyValue(json, "Message.ssid");
    const std::string ipAddress = getJsonKeyValue(json, "Message.ipAddress");
    const std::string wifiConnected = getJsonKeyValue(json, "Message.wifiConnected");
    const std::string wifiStatus = getJsonKeyValue(json, "Message.wifiStatus");
    if (wifiStatus == "Success" && wifiConnected == "true") {
        std::cout << "Successful connection!" << std::endl
                  << "ssid: " << joinedSsid << std::endl
                  << "ipAddress: " << ipAddress << std::endl
                  << "wifiConnected: " << wifiConnected << std::endl
                  << "wifiStatus: " << wifiStatus << std::endl;
        return true;
    }
    return false;
}
