#include "SentrelAdaptor.h"

#include "AssertionFailureException.h"
#include "Log.h"
#include "QuietRetry.h"
#include "UdpAdaptor.h"
#include "UnitJson.h"

#include <boost/property_tree/json_parser.hpp>

#include <algorithm>
#include <optional>
#include <sstream>
#include <system_error>

namespace pt = boost::property_tree;

SentrelAdaptor::SentrelAdaptor(const Timing& timing, UnitIoFaults* faults)
    : timing(timing), link(ioService, timing, faults), pending([this] { return link.connected(); })
{
}

SentrelAdaptor::~SentrelAdaptor()
{
    // The streaming thread works on this object: stop it before anything goes.
    stopStreaming();
}

// ---------------------------------------------------------------------------
// Messages and frames

void SentrelAdaptor::sendSnCommand(std::string json)
{
    link.sendMessage(json);
}

std::string SentrelAdaptor::sendSnRequest(std::string json)
{
    return link.request(json);
}

void SentrelAdaptor::writeToWire(const std::string& frame)
{
    link.writeFrame(frame);
}

std::string SentrelAdaptor::receiveSNResponse()
{
    return link.receiveReply();
}

std::string SentrelAdaptor::verifyMessage(std::string response)
{
    return verifyUnitReply(response);
}

std::string SentrelAdaptor::getJsonKeyValue(std::string json, std::string key)
{
    return unitjson::jsonKeyValue(json, key);
}

pt::ptree SentrelAdaptor::jsonStringToPtree(std::string json)
{
    return unitjson::jsonStringToPtree(json);
}

void SentrelAdaptor::printJson(std::string json)
{
    std::ostringstream out;
    pt::write_json(out, unitjson::jsonStringToPtree(json), true);
    snlog::out() << out.str();
}

std::string SentrelAdaptor::now_str()
{
    return UnitLink::timeOfDay();
}

void SentrelAdaptor::enableDebugMode()
{
    link.enableDebugMode();
}

void SentrelAdaptor::setRecorder(SessionRecorder* recorder)
{
    link.setRecorder(recorder);
}

// ---------------------------------------------------------------------------
// Vitals and waveforms: stored under the data lock

void SentrelAdaptor::sendCommand(const char* name, int value)
{
    withPending([&](PendingMessages& p) { p.sendCommand(name, value); });
}

void SentrelAdaptor::sendCommand(const char* name, const char* value)
{
    withPending([&](PendingMessages& p) { p.sendCommand(name, value); });
}

void SentrelAdaptor::sendCommand(const char* name, float value)
{
    withPending([&](PendingMessages& p) { p.sendCommand(name, value); });
}

void SentrelAdaptor::sendHR_bpm(int bpm)
{
    withPending([&](PendingMessages& p) { p.sendHR_bpm(bpm); });
}

void SentrelAdaptor::sendDisableHR()
{
    withPending([](PendingMessages& p) { p.sendDisableHR(); });
}

void SentrelAdaptor::sendRR_brpm(int brpm)
{
    withPending([&](PendingMessages& p) { p.sendRR_brpm(brpm); });
}

void SentrelAdaptor::sendDisableRR()
{
    withPending([](PendingMessages& p) { p.sendDisableRR(); });
}

void SentrelAdaptor::sendSPO2(int percent)
{
    withPending([&](PendingMessages& p) { p.sendSPO2(percent); });
}

void SentrelAdaptor::sendSPO2_ratio(int ratio)
{
    withPending([&](PendingMessages& p) { p.sendSPO2_ratio(ratio); });
}

void SentrelAdaptor::enableSPO2Probe(bool on)
{
    withPending([&](PendingMessages& p) { p.enableSPO2Probe(on); });
}

void SentrelAdaptor::sendNIBP_mmHg(int systolic, int diastolic, int mean)
{
    withPending([&](PendingMessages& p) { p.sendNIBP_mmHg(systolic, diastolic, mean); });
}

void SentrelAdaptor::sendDisableNIBP()
{
    withPending([](PendingMessages& p) { p.sendDisableNIBP(); });
}

void SentrelAdaptor::sendT1_degC(float degC)
{
    withPending([&](PendingMessages& p) { p.sendT1_degC(degC); });
}

void SentrelAdaptor::sendT2_degC(float degC)
{
    withPending([&](PendingMessages& p) { p.sendT2_degC(degC); });
}

void SentrelAdaptor::sendDisableT1()
{
    withPending([](PendingMessages& p) { p.sendDisableT1(); });
}

void SentrelAdaptor::sendDisableT2()
{
    withPending([](PendingMessages& p) { p.sendDisableT2(); });
}

void SentrelAdaptor::sendCO2_flowFactor(int factor)
{
    withPending([&](PendingMessages& p) { p.sendCO2_flowFactor(factor); });
}

void SentrelAdaptor::sendDisableCO2()
{
    withPending([](PendingMessages& p) { p.sendDisableCO2(); });
}

void SentrelAdaptor::sendABP_50Hz(std::vector<float>& samples)
{
    withPending([&](PendingMessages& p) { p.sendABP_50Hz(samples); });
}

void SentrelAdaptor::sendPAP_50Hz(std::vector<float>& samples)
{
    withPending([&](PendingMessages& p) { p.sendPAP_50Hz(samples); });
}

void SentrelAdaptor::sendPLETH_50Hz(std::vector<float>& samples)
{
    withPending([&](PendingMessages& p) { p.sendPLETH_50Hz(samples); });
}

void SentrelAdaptor::sendCVP_25Hz(std::vector<float>& samples)
{
    withPending([&](PendingMessages& p) { p.sendCVP_25Hz(samples); });
}

void SentrelAdaptor::sendCO2_25Hz(std::vector<int>& samples)
{
    withPending([&](PendingMessages& p) { p.sendCO2_25Hz(samples); });
}

void SentrelAdaptor::sendECG_100Hz(std::vector<float>& samples)
{
    withPending([&](PendingMessages& p) { p.sendECG_100Hz(samples); });
}

// ---------------------------------------------------------------------------
// Streaming thread

void SentrelAdaptor::streamingPass()
{
    // Data lock, then the wire lock inside each write.
    std::lock_guard<std::mutex> lock(dataMutex);
    const std::uint64_t generation = link.generation();
    if (generation != streamedGeneration) {
        pending.restateVitals();
        streamedGeneration = generation;
    }
    for (const std::string& json : pending.takeChanged())
        link.sendMessage(json);
}

void SentrelAdaptor::sendVitalWaveDataThread()
{
    try {
        Clock::time_point nextPass = Clock::now();
        Clock::time_point lastPass = nextPass - timing.streamPeriod;
        bool resuming = false;
        for (;;) {
            ++streamingTurns;
            if (!streamingWanted()) {
                resuming = true;
                if (waitForStop(Clock::now() + timing.streamIdlePoll))
                    return;
                continue;
            }
            const Clock::time_point now = Clock::now();
            if (resuming) {
                // Start the schedule afresh: what gathered while idle goes out
                // in one pass, not in a burst of passes catching up.
                nextPass = std::max(now, lastPass + timing.streamPeriod);
                resuming = false;
            } else if (now - nextPass > timing.streamPeriod) {
                nextPass = now;  // late by more than a period: never catch up further
            }
            if (nextPass > now && waitForStop(nextPass))
                return;
            {
                std::lock_guard<std::mutex> lock(stopMutex);
                if (stopRequested)
                    return;
            }
            // Streaming switched off, or the link lost, while this pass
            // waited its turn: the pass is off too. What is pending waits for
            // the next pass with streaming on (and a new link restates it).
            if (!streamingWanted())
                continue;
            lastPass = Clock::now();
            streamingPass();
            ++streamingPasses;
            nextPass += timing.streamPeriod;
        }
    } catch (const std::exception& e) {
        snlog::out() << "exiting sendVitalWaveDataThread loop...\n" << e.what();
    }
}

bool SentrelAdaptor::streamingWanted() const
{
    return link.connected() && streamVitals;
}

bool SentrelAdaptor::waitForStop(Clock::time_point until)
{
    std::unique_lock<std::mutex> lock(stopMutex);
    return stopSignal.wait_until(lock, until, [this] { return stopRequested; });
}

void SentrelAdaptor::stop()
{
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopRequested = true;
    }
    stopSignal.notify_all();
}

void SentrelAdaptor::stopStreaming()
{
    stop();
    if (streamThread.joinable())
        streamThread.join();
}

// ---------------------------------------------------------------------------
// Connection

namespace {

// Writes again lines that a hold took.
void writeLines(const std::vector<snlog::Record>& lines)
{
    for (const snlog::Record& line : lines)
        snlog::write(line.stream, line.priority, line.text);
}

void printSummary(const std::string& summary)
{
    if (!summary.empty())
        snlog::out(snlog::Priority::warning) << summary;
}

} // namespace

bool SentrelAdaptor::initialize(const std::string& serialId, const std::string& fixedIp,
                                const std::string& rangeStart, const std::string& rangeEnd,
                                bool retryForever)
{
    (void)serialId;
    (void)rangeStart;
    (void)rangeEnd;
    snlog::out() << "SN>Initialization of the Sentrel adapter...";
    if (UnitLink::lastConnectedIP().empty())
        UnitLink::LoadLastConnectedIP();
    link.markDown();

    QuietRetry quiet(timing.quietRetryReport);
    for (unsigned pass = 1;; ++pass) {
        if (fixedIp.empty())
            SN_ASSERT(false, "We've got a problem, you reached here.");
        // A quiet pass holds its lines: all of them show if it connects, its
        // own two (the first and the last) if it reports.
        const bool loud = !retryForever || quiet.printsPass(Clock::now());
        std::optional<snlog::ThreadHold> hold;
        if (!loud)
            hold.emplace();
        snlog::out() << "Fixed IP configured: " << fixedIp;
        if (link.connectIP(fixedIp, 10)) {
            if (hold) {
                // The quiet attempts before this pass are summarised first.
                const std::vector<snlog::Record> lines = hold->lines();
                hold.reset();
                printSummary(quiet.passConnected(link.lastConnectError()));
                writeLines(lines);
            }
            break;
        }
        if (retryForever) {
            const std::string summary = quiet.passFailed(10, link.lastConnectError(), Clock::now());
            if (hold && !summary.empty()) {
                const std::size_t last = hold->lines().size() - 1;
                hold->release([last](std::size_t i, const snlog::Record&) { return i == 0 || i == last; });
            }
            hold.reset();
            printSummary(summary);
        }
        ++connectionPasses;
        if (waitForStop(Clock::now() + timing.retryPause))
            break;
        if (link.connected())
            break;
        if (!retryForever && pass >= 10)
            break;
    }

    if (link.connected() && !streamThreadStarted) {
        try {
            streamThread = std::thread(&SentrelAdaptor::sendVitalWaveDataThread, this);
        } catch (const std::system_error& e) {
            throw std::system_error(e.code(), "thread constructor failed");
        }
        streamThreadStarted = true;
    }
    return link.connected();
}

bool SentrelAdaptor::connectIP(const std::string&, const std::string& ip, unsigned attempts)
{
    return link.connectIP(ip, attempts);
}

void SentrelAdaptor::connect()
{
    link.connect();
}

void SentrelAdaptor::close()
{
    link.close();
}

void SentrelAdaptor::LoadLastConnectedIP()
{
    UnitLink::LoadLastConnectedIP();
}

void SentrelAdaptor::SaveLastConnectedIP()
{
    UnitLink::SaveLastConnectedIP();
}

void SentrelAdaptor::sendPing()
{
    link.sendMessage(kCalSelectPing);
}

bool SentrelAdaptor::checkConnection()
{
    return link.connected();
}

void SentrelAdaptor::enableStreamVitals(bool on)
{
    streamVitals = on;
}

// ---------------------------------------------------------------------------
// Status, Wi-Fi and stored calibrations

std::string SentrelAdaptor::sendRequestOtherStatus()
{
    return link.requestOtherStatus();
}

void SentrelAdaptor::getBattery()
{
    link.getBattery();
}

std::string SentrelAdaptor::sendRequestNetworkStatus()
{
    return link.requestNetworkStatus();
}

bool SentrelAdaptor::setWifiCfg(const char* ssid, const char* password)
{
    return link.setWifiCfg(ssid, password);
}

std::string SentrelAdaptor::sendRequestStoredCalibrationNamesSpO2()
{
    return link.requestCalListSpO2();
}

std::string SentrelAdaptor::sendRequestStoredCalibrationNamesCO2()
{
    return link.requestCalListCO2();
}
