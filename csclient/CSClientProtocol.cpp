#include "CSClientProtocol.h"

#include <algorithm>
#include <iostream>

namespace com_vela {

namespace {

bool isLive(CSClient::State s)
{
    return s == CSClient::STATE_CONNECTING || s == CSClient::STATE_ESTABLISHING ||
           s == CSClient::STATE_CONNECTED || s == CSClient::STATE_CONNECTION_LOST;
}

// Body bytes asked of the socket per read: the body buffer grows with what
// actually arrives, not with what the header announces.
const unsigned BODY_CHUNK = 64u * 1024u;

// After a close request, a frame body still incomplete this long is given up.
const std::chrono::milliseconds PARTIAL_FRAME_GRACE(2000);

// How long open waits for the previous receive thread, which has already
// set STATE_CLOSED, to return.
const unsigned PREVIOUS_THREAD_WAIT_MS = 2000;

} // namespace

CSClientProtocol::CSClientProtocol(unsigned o)
    : registryLock(false),
      serverAddress(0),
      serverPort(0),
      options(o),
      connectionOptions(),
      serverVersion("UNKNOWN"),
      protocolVersion(0),
      connectionLock(true),
      callbackLock(false),
      state(CSClient::STATE_CLOSED),
      comms(new CSCommsInterfaceTCP()),
      connectionNumber(0),
      pendingCloseConnection(0),
      pauseBeforeConnect(false),
      reconnectIntervalMs(1000)
{
}

CSClientProtocol::~CSClientProtocol()
{
    // The owner closes the engine first (CSClient does). Should a receive
    // thread still run, it must not outlive the object.
    if (receiveThread.isActive() && !receiveThread.isCurrentThread()) {
        forceCloseConnection();
        receiveThread.waitForThread();
    }
    unregisterAllLocalParameters();
    delete comms;
}

// ---------------------------------------------------------------- accessors

std::string CSClientProtocol::getServerVersion() const
{
    std::lock_guard<std::mutex> g(versionLock);
    return serverVersion;
}

void CSClientProtocol::setServerVersion(const std::string& version)
{
    std::lock_guard<std::mutex> g(versionLock);
    serverVersion = version;
}

std::string CSClientProtocol::getServerIPAddress() const
{
    return CSCommsInterfaceTCP::convertIPOctetToAddress(serverAddress.load());
}

void CSClientProtocol::setReconnectInterval(std::chrono::milliseconds interval)
{
    reconnectIntervalMs.store(interval.count());
}

bool CSClientProtocol::changeCommsInterface(CSCommsInterfaceTCP* replacement)
{
    if (!replacement)
        return false;
    CSLockGuard g(connectionLock);
    if (state.load() != CSClient::STATE_CLOSED)
        return false;
    delete comms;
    comms = replacement;
    return true;
}

// ---------------------------------------------------------------- connection

CSClient::Result CSClientProtocol::openConnection(unsigned address, unsigned port,
                                                  const CSClient::ConnectionOptions* connection)
{
    {
        CSLockGuard g(connectionLock);
        if (state.load() != CSClient::STATE_CLOSED)
            return CSClient::RESULT_FAILED;
        // Opened from a notification on the receive thread itself: that
        // thread cannot wait for itself, and a second one would outlive it
        // unjoined, so the open is refused.
        if (receiveThread.isCurrentThread())
            return CSClient::RESULT_FAILED;
        if (receiveThread.isActive())
            receiveThread.joinWithin(PREVIOUS_THREAD_WAIT_MS);
        setState(CSClient::STATE_CONNECTING);
        serverPort.store(port);
        serverAddress.store(address);
        connectionOptions = connection ? *connection : CSClient::ConnectionOptions();
        pendingCloseConnection.store(0);
        pauseBeforeConnect.store(false);
    }

    if (receiveThread.create(&CSClientProtocol::mainThread, this))
        return CSClient::RESULT_OK;

    CSLockGuard g(connectionLock);
    if (isLive(state.load())) {
        setState(CSClient::STATE_CLOSING);
        serverAddress.store(0);
        serverPort.store(0);
    }
    // No receive thread exists to finish the close; finish it here so that
    // the engine ends in STATE_CLOSED and can be opened or destroyed.
    if (state.load() == CSClient::STATE_CLOSING)
        finishClosing();
    return CSClient::RESULT_FAILED;
}

void CSClientProtocol::finishClosing()
{
    comms->close();
    setState(CSClient::STATE_CLOSED);
}

void* CSClientProtocol::mainThread(void* engine)
{
    CSClientProtocol* self = static_cast<CSClientProtocol*>(engine);
    for (;;) {
        switch (self->state.load()) {
        case CSClient::STATE_CONNECTING:
            if (self->pauseBeforeConnect.exchange(false))
                self->pauseBeforeReconnect();
            else
                self->startConnection();
            break;
        case CSClient::STATE_ESTABLISHING:
        case CSClient::STATE_CONNECTED: {
            unsigned pending = self->pendingCloseConnection.exchange(0);
            if (pending != 0 && pending == self->connectionNumber.load())
                self->closeConnection();
            else
                self->receiveMessage();
            break;
        }
        case CSClient::STATE_CONNECTION_LOST:
            self->pauseBeforeReconnect();
            break;
        case CSClient::STATE_CLOSED:
        case CSClient::STATE_CLOSING: {
            {
                CSLockGuard g(self->connectionLock);
                self->finishClosing();
            }
            // Marks the handle empty once this thread has returned; the next
            // open, or the owner before destruction, joins it.
            self->receiveThread.kill();
            return nullptr;
        }
        }
    }
}

bool CSClientProtocol::closeRequested() const
{
    CSClient::State s = state.load();
    return s == CSClient::STATE_CLOSING || s == CSClient::STATE_CLOSED;
}

bool CSClientProtocol::connectionGivenUp() const
{
    const CSClient::State s = state.load();
    if (s != CSClient::STATE_ESTABLISHING && s != CSClient::STATE_CONNECTED)
        return true;
    const unsigned pending = pendingCloseConnection.load();
    return pending != 0 && pending == connectionNumber.load();
}

void CSClientProtocol::wakeSleepers()
{
    { std::lock_guard<std::mutex> g(sleepMutex); }
    sleepCondition.notify_all();
}

void CSClientProtocol::pauseBeforeReconnect()
{
    std::unique_lock<std::mutex> g(sleepMutex);
    sleepCondition.wait_for(g, std::chrono::milliseconds(reconnectIntervalMs.load()),
                            [this] { return closeRequested(); });
}

CSClient::Result CSClientProtocol::startConnection()
{
    connectionLock.lock();
    if (state.load() == CSClient::STATE_CONNECTING) {
        CSCommsInterfaceTCP::Options o;
        o.receiveBufferSize = connectionOptions.receiveBufferSize;
        o.sendBufferSize = connectionOptions.sendBufferSize;
        comms->setOptions(o);
        if (comms->openConnection(serverAddress.load(), serverPort.load())) {
            connectionNumber.fetch_add(1);
            setState(CSClient::STATE_ESTABLISHING);
            connectionLock.unlock();
            return CSClient::RESULT_OK;
        }
    }
    connectionLock.unlock();
    closeConnection();
    return CSClient::RESULT_FAILED;
}

void CSClientProtocol::closeConnection()
{
    bool pause = false;
    connectionLock.lock();
    const CSClient::State s = state.load();
    if (hasOptions(OPTION_AUTO_RECONNECT)) {
        switch (s) {
        case CSClient::STATE_CONNECTING:
        case CSClient::STATE_CONNECTION_LOST:
            pause = true;
            break;
        case CSClient::STATE_ESTABLISHING:
            setState(CSClient::STATE_CONNECTING);
            pause = true;
            break;
        case CSClient::STATE_CONNECTED:
            if (!isQuiet())
                std::cout << "Attempting to reconnect..." << std::endl;
            setState(CSClient::STATE_CONNECTION_LOST);
            setState(CSClient::STATE_CONNECTING);
            pause = true;
            break;
        case CSClient::STATE_CLOSED:
        case CSClient::STATE_CLOSING:
            break;
        }
    } else if (isLive(s)) {
        setState(CSClient::STATE_CLOSING);
        serverAddress.store(0);
        serverPort.store(0);
    }
    connectionLock.unlock();

    if (pause) {
        // Inside an outer state change the lock is still ours: pausing here
        // would hold it, so the receive thread pauses before its next attempt.
        if (connectionLock.isHeldByCurrentThread())
            pauseBeforeConnect.store(true);
        else
            pauseBeforeReconnect();
    }
}

void CSClientProtocol::forceCloseConnection()
{
    CSLockGuard g(connectionLock);
    if (isLive(state.load())) {
        setState(CSClient::STATE_CLOSING);
        serverAddress.store(0);
        serverPort.store(0);
    }
}

void CSClientProtocol::waitForReceiveThread()
{
    if (receiveThread.isActive() && !receiveThread.isCurrentThread())
        receiveThread.waitForThread();
}

bool CSClientProtocol::readMessageHeader(RawMessage::Type& type, unsigned& bodyLength)
{
    RawMessage header(RawMessage::TYPE_DATA);
    const int got = comms->readMessage(FRAME_HEADER_SIZE, header);
    if (got == -2)
        return false;
    if (got == 0) {
        if (!isQuiet())
            std::cerr << "Connection closed by server." << std::endl;
        closeConnection();
        return false;
    }
    if (got < 0) {
        if (!isQuiet())
            std::cerr << "Read error. Closing connection." << std::endl;
        closeConnection();
        return false;
    }
    unsigned frameLength = 0;
    switch (decodeFrameHeader(header, type, frameLength, bodyLength)) {
    case FRAME_HEADER_OK:
        return true;
    case FRAME_HEADER_SHORT:
        if (!isQuiet())
            std::cerr << "Couldn't read a complete header. Closing connection." << std::endl;
        break;
    case FRAME_HEADER_BAD_LENGTH:
        if (!isQuiet())
            std::cerr << "Invalid message data received (" << frameLength << "). Closing connection."
                      << std::endl;
        break;
    }
    closeConnection();
    return false;
}

void CSClientProtocol::receiveMessage()
{
    RawMessage::Type type = RawMessage::TYPE_INVALID;
    unsigned bodyLength = 0;
    if (!readMessageHeader(type, bodyLength))
        return;

    RawMessage message(type);
    unsigned received = 0;
    bool closeSeen = false;
    std::chrono::steady_clock::time_point closeSeenAt;
    while (received < bodyLength) {
        const int got = comms->readMessage(std::min(bodyLength - received, BODY_CHUNK), message);
        if (got == 0) {
            if (!isQuiet())
                std::cout << "Connection closed by server." << std::endl;
            closeConnection();
            return;
        }
        if (got < 0 && got != -2) {
            if (!isQuiet())
                std::cerr << "Read error. Closing connection." << std::endl;
            closeConnection();
            return;
        }
        if (got > 0)
            received += static_cast<unsigned>(got);
        if (received < bodyLength && connectionGivenUp()) {
            // A stalled server must not hold a close or reconnect request:
            // give the rest of the frame a short grace, then drop it.
            const auto now = std::chrono::steady_clock::now();
            if (!closeSeen) {
                closeSeen = true;
                closeSeenAt = now;
            } else if (now - closeSeenAt >= PARTIAL_FRAME_GRACE) {
                return;
            }
        }
    }
    handleReceivedMessage(message);
}

CSClient::Result CSClientProtocol::sendMessage(const RawMessage& message)
{
    const CSClient::State s = state.load();
    if (s != CSClient::STATE_ESTABLISHING && s != CSClient::STATE_CONNECTED)
        return CSClient::RESULT_NOT_CONNECTED;
    RawMessage frame(message.getType());
    if (!buildFrame(message, frame))
        return CSClient::RESULT_INVALID;
    errno = 0;
    const int written = comms->writeMessage(frame);
    if (written != static_cast<int>(frame.getSize())) {
        const int error = errno;
        std::cerr << "Error writing to server (" << error << ") " << std::endl;
        closeAfterFailedSend();
        return CSClient::RESULT_FAILED;
    }
    return CSClient::RESULT_OK;
}

void CSClientProtocol::closeAfterFailedSend()
{
    // Closing takes the connection lock. A sender holding the registry lock
    // would take the two out of order (and the state change would run the
    // callbacks under the registry lock), and a sender that finds another
    // thread holding the connection lock must not wait for it either: in
    // both cases the receive thread makes the close, for this connection only.
    if (!registryLock.isHeldByCurrentThread() && connectionLock.tryLock() == 0) {
        closeConnection();
        connectionLock.unlock();
        return;
    }
    pendingCloseConnection.store(connectionNumber.load());
}

void CSClientProtocol::setState(CSClient::State newState)
{
    CSLockGuard g(connectionLock);
    const CSClient::State oldState = state.load();
    if (newState == oldState)
        return;
    // A close request is final: only the receive thread's STATE_CLOSED may
    // follow it (a handshake finishing on the receive thread must not undo
    // it), and a closed engine is reopened only by openConnection.
    if (oldState == CSClient::STATE_CLOSING && newState != CSClient::STATE_CLOSED)
        return;
    if (oldState == CSClient::STATE_CLOSED && newState != CSClient::STATE_CONNECTING)
        return;
    state.store(newState);
    if (newState == CSClient::STATE_CLOSING)
        wakeSleepers();

    std::set<CSClient::CallbackIface*> copy;
    getCallbackInterfaces(copy);
    for (CSClient::CallbackIface* callback : copy)
        callback->connectionStateChanged(oldState, newState);
    handleConnectionStateChange(oldState, newState);
}

void CSClientProtocol::handleConnectionStateChange(CSClient::State, CSClient::State newState)
{
    switch (newState) {
    case CSClient::STATE_CLOSED:
        unregisterAllLocalParameters();
        break;
    case CSClient::STATE_ESTABLISHING:
        setState(CSClient::STATE_CONNECTED);
        break;
    case CSClient::STATE_CONNECTED: {
        requestSimulatorVersion();
        // The version request may have failed and the connection moved on;
        // the registry is then sent at the next connection instead.
        if (state.load() != CSClient::STATE_CONNECTED)
            break;
        unsigned inputs, outputs;
        {
            CSLockGuard r(registryLock);
            inputs = static_cast<unsigned>(inputsByName.size());
            outputs = static_cast<unsigned>(outputsByName.size());
        }
        if (inputs == 0 && outputs == 0)
            break;
        if (!isQuiet())
            std::cout << "Re-registering input/output parameters (" << inputs << "/" << outputs << ")..."
                      << std::endl;
        reregisterAllInputParameters();
        reregisterAllOutputParameters();
        break;
    }
    default:
        break;
    }
}

// ---------------------------------------------------------------- callbacks

bool CSClientProtocol::addCallbackInterface(CSClient::CallbackIface* callback)
{
    CSLockGuard g(callbackLock);
    return callbacks.insert(callback).second;
}

void CSClientProtocol::removeCallbackInterface(CSClient::CallbackIface* callback)
{
    CSLockGuard g(callbackLock);
    callbacks.erase(callback);
}

bool CSClientProtocol::hasCallbackInterface(CSClient::CallbackIface* callback) const
{
    CSLockGuard g(callbackLock);
    return callbacks.count(callback) != 0;
}

unsigned CSClientProtocol::getNumCallbackInterfaces() const
{
    CSLockGuard g(callbackLock);
    return static_cast<unsigned>(callbacks.size());
}

void CSClientProtocol::getCallbackInterfaces(std::set<CSClient::CallbackIface*>& out) const
{
    CSLockGuard g(callbackLock);
    out = callbacks;
}

} // namespace com_vela
