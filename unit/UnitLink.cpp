#include "UnitLink.h"

#include "Log.h"
#include "SessionRecorder.h"
#include "UnitJson.h"
#include "UnitMessages.h"
#include "SocketConnect.h"
#include "SocketFlags.h"

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>

using boost::asio::ip::tcp;

std::string UnitLink::LastConnectedIP;

namespace {

const char* const kLastConnectedFile = "_lastconnectedIPAddress.txt";

// The longest single poll of a reply wait (which Timing::replyTimeout bounds
// as a whole): another thread may close or replace the socket meanwhile, and
// the wait looks at it again at least this often.
constexpr long long kReplyPollStepMs = 1000;

void printSystemError(const char* where, const boost::system::error_code& ec)
{
    snlog::out() << where << ": Error occured! Error code = " << ec.category().name() << ":" << ec.value()
                 << ". Message: " << ec.message();
}

// A connection that failed is dead for both sides from here on.
void killConnection(tcp::socket& socket)
{
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
}

std::chrono::milliseconds until(UnitLink::Clock::time_point deadline)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - UnitLink::Clock::now());
}

// Reply matchers of the requests: true for the awaited reply; anything else
// is printed with the requester's re-request lines and dropped.
bool isReplyOfType(const std::string& json, const char* type, const char* requester)
{
    const std::string received = unitjson::jsonKeyValue(json, "MessageType");
    if (received == type)
        return true;
    snlog::out() << requester << " Re-request: Received " << received << ", looking for " << type << "..\n"
                 << json << "\nre-reading incoming messages";
    return false;
}

bool isStatusData(const std::string& json)
{
    return isReplyOfType(json, "StatusData", "sendRequestOtherStatus");
}

bool isNetworkStatusData(const std::string& json)
{
    return isReplyOfType(json, "NetworkStatusData", "sendRequestNetworkStatus");
}

bool isCalList(const std::string& json, const char* type, const char* other, const char* requester)
{
    if (unitjson::jsonKeyValue(json, "MessageType") != "CalList") {
        snlog::out() << requester << " Re-request: something other than cal message received; something else..\n"
                     << json << "\nre-reading incoming messages";
        return false;
    }
    if (unitjson::jsonKeyValue(json, "Message.calType") == type)
        return true;
    snlog::out() << requester << " Re-request: " << other << " cal result received by mistake...\n"
                 << json << "\nre-reading incoming messages";
    return false;
}

bool isCalListSpO2(const std::string& json)
{
    return isCalList(json, "SpO2", "CO2", "sendRequestStoredCalibrationNamesSpO2");
}

bool isCalListCO2(const std::string& json)
{
    return isCalList(json, "CO2", "SpO2", "sendRequestStoredCalibrationNamesCO2");
}

} // namespace

UnitLink::UnitLink(boost::asio::io_context& io, const Timing& timing, UnitIoFaults* faults)
    : io(io), timing(timing), faults(faults), downSince(std::chrono::system_clock::now())
{
}

UnitLink::~UnitLink() = default;

// ---------------------------------------------------------------------------
// Connection

bool UnitLink::connectIP(const std::string& ip, unsigned attempts)
{
    unitEndpoint = tcp::endpoint(boost::asio::ip::make_address(ip), kUnitPort);
    for (unsigned i = 0; i < attempts; ++i) {
        try {
            connect();
            break;
        } catch (const boost::system::system_error& e) {
            connectError = e.code().message();
            printSystemError("SentrelAdaptor::connectIP", e.code());
        }
    }
    if (linkConnected) {
        LastConnectedIP = ip;
        SaveLastConnectedIP();
    } else {
        snlog::out() << "SN>Failed to find or could not connect to Sentrel on IP " << ip;
    }
    return linkConnected;
}

void UnitLink::connect()
{
    ++attemptsBegun;
    const std::string address = unitEndpoint.address().to_string();
    snlog::out() << "Connecting to " << address << ":" << unitEndpoint.port() << "...";
    auto socket = std::make_shared<Socket>(io);
    socket->open(unitEndpoint.protocol());
    if (faultBefore(UnitIo::connect) != UnitIoFault::none)
        throw boost::system::system_error(boost::asio::error::connection_refused);
    // Connects, reads and writes wait on poll() with a deadline, never in the
    // socket call: an address that drops packets would otherwise hold one
    // attempt for the system's own two minutes.
    socket->native_non_blocking(true);
    if (const int error = connectWithin(socket->native_handle(), unitEndpoint.data(),
                                        static_cast<socklen_t>(unitEndpoint.size()), timing.unitConnectBound))
        throw boost::system::system_error(error, boost::system::system_category());
    publish(socket, address);
    snlog::out() << "Connected.";
}

void UnitLink::publish(const std::shared_ptr<Socket>& socket, const std::string& address)
{
    // Published only once connected, and recorded as up in the same step: a
    // writer that picks the new socket up writes after its "connected".
    std::lock_guard<std::mutex> lock(socketMutex);
    unitSocket = socket;  // the old socket closes when its last writer lets go
    ++socketGeneration;
    noteUp(address, socketGeneration);
    setUp(address);
}

void UnitLink::close()
{
    snlog::out() << "Closing socket.";
    std::shared_ptr<Socket> socket = currentSocket();
    if (!socket)
        return;
    noteDown();
    socket->shutdown(tcp::socket::shutdown_both);
    socket->close();
    std::lock_guard<std::mutex> lock(socketMutex);
    if (unitSocket == socket)
        unitSocket.reset();
}

void UnitLink::markDown()
{
    std::lock_guard<std::mutex> lock(socketMutex);
    setDown();
    noteDown();
    if (unitSocket)
        killConnection(*unitSocket);
}

void UnitLink::markDownAfterFailure(std::uint64_t generation)
{
    std::lock_guard<std::mutex> lock(socketMutex);
    // A socket that a newer connection has replaced says nothing about the link now.
    if (generation != socketGeneration)
        return;
    setDown();
    noteDown();
}

std::uint64_t UnitLink::generation() const
{
    std::lock_guard<std::mutex> lock(socketMutex);
    return socketGeneration;
}

UnitIoFault UnitLink::faultBefore(UnitIo operation)
{
    return faults ? faults->before(operation) : UnitIoFault::none;
}

UnitLinkStatus UnitLink::status() const
{
    UnitLinkStatus s;
    s.messagesWritten = framesWritten;
    std::lock_guard<std::mutex> lock(statusMutex);
    s.connected = linkConnected;
    s.address = statusAddress;
    s.downSince = downSince;
    return s;
}

void UnitLink::setUp(const std::string& address)
{
    std::lock_guard<std::mutex> lock(statusMutex);
    statusAddress = address;
    linkConnected = true;
}

void UnitLink::setDown()
{
    std::lock_guard<std::mutex> lock(statusMutex);
    // Down since the link was last up; a link never up since the first attempt.
    if (linkConnected.exchange(false) || !attempted)
        downSince = std::chrono::system_clock::now();
    attempted = true;
}

void UnitLink::noteUp(const std::string& address, std::uint64_t generation)
{
    std::lock_guard<std::mutex> lock(linkEventMutex);
    SessionRecorder* recorder = sessionRecorder;
    // A connect replaces the previous connection, which thereby ends.
    if (recordedUp && recorder)
        recorder->linkChanged(false, recordedAddress);
    recordedUp = true;
    recordedAddress = address;
    recordedGeneration = generation;
    if (recorder)
        recorder->linkChanged(true, address);
}

void UnitLink::noteDown()
{
    std::lock_guard<std::mutex> lock(linkEventMutex);
    if (!recordedUp)
        return;
    recordedUp = false;
    if (SessionRecorder* recorder = sessionRecorder)
        recorder->linkChanged(false, recordedAddress);
}

void UnitLink::LoadLastConnectedIP()
{
    try {
        std::ifstream in(kLastConnectedFile, std::ios::binary);
        if (!in)
            throw std::runtime_error("no last connected address");
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LastConnectedIP = boost::asio::ip::make_address_v4(text).to_string();
        snlog::out() << "Loaded last connected IP " << LastConnectedIP;
    } catch (const std::exception&) {
        LastConnectedIP.clear();
    }
}

void UnitLink::SaveLastConnectedIP()
{
    try {
        std::ofstream out(kLastConnectedFile, std::ios::binary | std::ios::trunc);
        if (out)
            out << LastConnectedIP;
    } catch (const std::exception&) {
        LastConnectedIP.clear();
    }
}

std::string UnitLink::lastConnectedIP()
{
    return LastConnectedIP;
}

// ---------------------------------------------------------------------------
// Messages and frames

std::shared_ptr<UnitLink::Socket> UnitLink::currentSocket(std::uint64_t* generation) const
{
    std::lock_guard<std::mutex> lock(socketMutex);
    if (generation)
        *generation = socketGeneration;
    return unitSocket;
}

void UnitLink::sendMessage(const std::string& json)
{
    if (debugMode)
        snlog::out() << timeOfDay() << ": [" << json << "]";
    writeMessage(json);
}

void UnitLink::writeMessage(const std::string& json)
{
    std::lock_guard<std::mutex> wire(wireMutex);
    std::uint64_t generation = 0;
    // Recorded under the wire lock, so the recording keeps the wire's order.
    if (writeBytes(frameUnitMessage(json), &generation))
        recordMessage(json, generation);
}

void UnitLink::recordMessage(const std::string& json, std::uint64_t generation)
{
    std::lock_guard<std::mutex> lock(linkEventMutex);
    // Only on the link recorded as up: a socket given up or replaced meanwhile
    // belongs to no link of the recording.
    if (!recordedUp || recordedGeneration != generation)
        return;
    // The recorder only queues the line, it never waits for its file.
    if (SessionRecorder* recorder = sessionRecorder)
        recorder->messageWritten(json);
}

void UnitLink::writeFrame(const std::string& frame)
{
    std::lock_guard<std::mutex> wire(wireMutex);
    writeBytes(frame);
}

bool UnitLink::writeBytes(const std::string& frame, std::uint64_t* writtenOn)
{
    // Our own reference keeps the socket alive if connect replaces it meanwhile.
    std::uint64_t generation = 0;
    const std::shared_ptr<Socket> socket = currentSocket(&generation);
    if (writtenOn)
        *writtenOn = generation;
    boost::system::error_code ec;
    if (!socket || !socket->is_open()) {
        ec = boost::asio::error::not_connected;
    } else {
        const UnitIoFault fault = faultBefore(UnitIo::write);
        const std::size_t size = fault == UnitIoFault::shortWrite ? frame.size() / 2
                                 : fault == UnitIoFault::fail     ? 0
                                                                  : frame.size();
        const int fd = socket->native_handle();
        const Clock::time_point deadline = Clock::now() + timing.writeTimeout;
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::send(fd, frame.data() + done, size - done, kSendNoSignal);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // A unit that stops reading must not hold the wire for ever.
                const auto left = until(deadline);
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
        if (!ec && fault != UnitIoFault::none) {
            killConnection(*socket);
            ec = boost::asio::error::broken_pipe;
        }
    }
    if (!ec) {
        ++framesWritten;
        return true;
    }
    printSystemError("SentrelAdaptor::writeToWire", ec);
    markDownAfterFailure(generation);
    return false;
}

std::string UnitLink::request(const std::string& json)
{
    writeMessage(json);
    return receiveReply();
}

std::string UnitLink::receiveReply()
{
    return receiveUntil(Clock::now() + timing.replyTimeout, "a reply");
}

std::string UnitLink::receiveUntil(Clock::time_point deadline, const char* awaited)
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
            const auto left = until(deadline);
            if (left.count() <= 0)
                throw std::runtime_error("read_until: no " + std::string(awaited) + " from the Sentrel unit within " +
                                         std::to_string(timing.replyTimeout.count()) + " ms");
            const int fd = socket->native_handle();
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), kReplyPollStepMs)) + 1);
            if (ready <= 0)
                continue;
            if (faultBefore(UnitIo::read) != UnitIoFault::none) {
                killConnection(*socket);
                throw boost::system::system_error(boost::asio::error::connection_reset, "read_until");
            }
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n > 0) {
                replyBuffer.append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0) {
                throw boost::system::system_error(boost::asio::error::eof, "read_until");
            } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                throw boost::system::system_error(boost::system::error_code(errno, boost::system::system_category()),
                                                  "read_until");
            }
        }
    } catch (const std::exception& e) {
        snlog::out() << "ERROR: Exception thrown within receiveSNResponse!\n" << e.what();
        throw;
    }
}

std::string UnitLink::timeOfDay()
{
    const boost::posix_time::ptime now = boost::posix_time::microsec_clock::local_time();
    const boost::posix_time::time_duration tod = now.time_of_day();
    char text[32];
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld.%03ld", static_cast<long>(tod.hours()),
                  static_cast<long>(tod.minutes()), static_cast<long>(tod.seconds()),
                  static_cast<long>(tod.total_milliseconds() % 1000));
    return text;
}

// ---------------------------------------------------------------------------
// Status, Wi-Fi and stored calibrations

std::string UnitLink::awaitReply(const std::string& request, const char* awaited,
                                 bool (*matches)(const std::string& json))
{
    // Replies carry no request number: read and drop what is not ours, but
    // only for so long, so that a silent unit cannot hang the requester.
    const Clock::time_point deadline = Clock::now() + timing.replyTimeout;
    writeMessage(request);
    std::string json = verifyUnitReply(receiveUntil(deadline, awaited));
    while (!matches(json))
        json = verifyUnitReply(receiveUntil(deadline, awaited));
    return json;
}

std::string UnitLink::requestOtherStatus()
{
    return awaitReply(unitmsg::kStatusRequestOther, "StatusData", isStatusData);
}

std::string UnitLink::requestNetworkStatus()
{
    return awaitReply(unitmsg::kStatusRequestNetwork, "NetworkStatusData", isNetworkStatusData);
}

std::string UnitLink::requestCalListSpO2()
{
    return awaitReply(unitmsg::kCalListRequestSpO2, "CalList for SpO2", isCalListSpO2);
}

std::string UnitLink::requestCalListCO2()
{
    return awaitReply(unitmsg::kCalListRequestCO2, "CalList for CO2", isCalListCO2);
}

void UnitLink::getBattery()
{
    const std::string json = requestOtherStatus();
    const std::string level = unitjson::jsonKeyValue(json, "Message.battLvlPerc");
    const std::string pluggedIn = unitjson::jsonKeyValue(json, "Message.pluggedIn");
    snlog::out() << "SN>Battery level: " << level << " plugged in: " << pluggedIn;
}

bool UnitLink::setWifiCfg(const char* ssid, const char* password)
{
    sendMessage(unitmsg::wifiCredentialsMessage(ssid ? ssid : "", password ? password : ""));
    std::this_thread::sleep_for(timing.wifiJoinWait);  // the unit needs time to join
    const std::string json = requestNetworkStatus();
    const std::string joinedSsid = unitjson::jsonKeyValue(json, "Message.ssid");
    const std::string ipAddress = unitjson::jsonKeyValue(json, "Message.ipAddress");
    const std::string wifiConnected = unitjson::jsonKeyValue(json, "Message.wifiConnected");
    const std::string wifiStatus = unitjson::jsonKeyValue(json, "Message.wifiStatus");
    if (wifiStatus == "Success" && wifiConnected == "true") {
        snlog::out() << "Successful connection!\nssid: " << joinedSsid << "\nipAddress: " << ipAddress
                     << "\nwifiConnected: " << wifiConnected << "\nwifiStatus: " << wifiStatus;
        return true;
    }
    return false;
}
