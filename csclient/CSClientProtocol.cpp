#include "CSClientProtocol.h"

#include "CSCommsInterfaceTCP.h"
#include "Log.h"

#include <algorithm>

namespace com_vela {

namespace {

bool isLive(CSClient::State s)
{
    return s == CSClient::STATE_CONNECTING || s == CSClient::STATE_ESTABLISHING ||
           s == CSClient::STATE_CONNECTED || s == CSClient::STATE_CONNECTION_LOST;
}

// A connection that frames travel on.
bool isUp(CSClient::State s)
{
    return s == CSClient::STATE_ESTABLISHING || s == CSClient::STATE_CONNECTED;
}

// The moves of the state machine; every other is refused.
bool isMove(CSClient::State from, CSClient::State to)
{
    switch (from) {
    case CSClient::STATE_CLOSED:
        return to == CSClient::STATE_CONNECTING;
    case CSClient::STATE_CONNECTING:
        return to == CSClient::STATE_ESTABLISHING || to == CSClient::STATE_CLOSING;
    case CSClient::STATE_ESTABLISHING:
        return to == CSClient::STATE_CONNECTED || to == CSClient::STATE_CONNECTING || to == CSClient::STATE_CLOSING;
    case CSClient::STATE_CONNECTED:
        return to == CSClient::STATE_CONNECTION_LOST || to == CSClient::STATE_CLOSING;
    case CSClient::STATE_CONNECTION_LOST:
        return to == CSClient::STATE_CONNECTING || to == CSClient::STATE_CLOSING;
    case CSClient::STATE_CLOSING:
        return to == CSClient::STATE_CLOSED;
    }
    return false;
}

// Body bytes asked of the socket per read: the body buffer grows with what
// actually arrives, not with what the header announces.
const unsigned BODY_CHUNK = 64u * 1024u;

// The close this thread owes for a send that failed while it held an
// engine's registry lock; made when it releases that lock.
struct OwedClose {
    CSClientProtocol* engine = nullptr;
    unsigned connection = 0;
};
thread_local OwedClose tOwedClose;

} // namespace

CSClientProtocol::CSClientProtocol(unsigned o, const Timing& t)
    : registryLock(false),
      timing(t),
      receiveThread(t),
      serverAddress(0),
      serverPort(0),
      options(o),
      connectionOptions(),
      serverVersion("UNKNOWN"),
      protocolVersion(0),
      connectionLock(true),
      callbackLock(false),
      state(CSClient::STATE_CLOSED),
      comms(new CSCommsInterfaceTCP(t)),
      connectionNumber(0),
      pendingCloseConnection(0),
      pauseBeforeConnect(false)
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
    waitForStateNotifications();
    if (tOwedClose.engine == this)
        tOwedClose = OwedClose();
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

bool CSClientProtocol::changeCommsInterface(CSCommsInterface* replacement)
{
    if (!replacement)
        return false;
    ConnectionGuard g(*this);
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
        ConnectionGuard g(*this);
        if (state.load() != CSClient::STATE_CLOSED)
            return CSClient::RESULT_FAILED;
        // Opened from a notification on the receive thread itself: that
        // thread cannot wait for itself, and a second one would outlive it
        // unjoined, so the open is refused.
        if (receiveThread.isCurrentThread())
            return CSClient::RESULT_FAILED;
        if (receiveThread.isActive())
            receiveThread.joinWithin(timing.receiveThreadJoinBound);
        takeState(CSClient::STATE_CLOSED, CSClient::STATE_CONNECTING);
        serverPort.store(port);
        serverAddress.store(address);
        connectionOptions = connection ? *connection : CSClient::ConnectionOptions();
        pendingCloseConnection.store(0);
        pauseBeforeConnect.store(false);
    }

    if (receiveThread.create(&CSClientProtocol::mainThread, this))
        return CSClient::RESULT_OK;

    ConnectionGuard g(*this);
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

CSClient::Result CSClientProtocol::runReceiveLoopInline(unsigned address, unsigned port)
{
    if (hasOptions(OPTION_AUTO_RECONNECT))
        return CSClient::RESULT_INVALID;
    {
        ConnectionGuard g(*this);
        if (state.load() != CSClient::STATE_CLOSED || receiveThread.isActive())
            return CSClient::RESULT_FAILED;
        setState(CSClient::STATE_CONNECTING);
        serverPort.store(port);
        serverAddress.store(address);
        connectionOptions = CSClient::ConnectionOptions();
        pendingCloseConnection.store(0);
        pauseBeforeConnect.store(false);
    }
    receiveLoop();
    return CSClient::RESULT_OK;
}

void CSClientProtocol::finishClosing()
{
    comms->close();
    setState(CSClient::STATE_CLOSED);
}

void* CSClientProtocol::mainThread(void* engine)
{
    CSClientProtocol* self = static_cast<CSClientProtocol*>(engine);
    self->receiveLoop();
    // Marks the handle empty once this thread has returned; the next open,
    // or the owner before destruction, joins it.
    self->receiveThread.kill();
    return nullptr;
}

void CSClientProtocol::receiveLoop()
{
    for (;;) {
        switch (state.load()) {
        case CSClient::STATE_CONNECTING:
            if (pauseBeforeConnect.exchange(false))
                pauseBeforeReconnect();
            else
                startConnection();
            break;
        case CSClient::STATE_ESTABLISHING:
        case CSClient::STATE_CONNECTED:
            if (pendingCloseConnection.load() != 0)
                closePendingConnection();
            else
                receiveMessage();
            break;
        case CSClient::STATE_CONNECTION_LOST:
            pauseBeforeReconnect();
            break;
        case CSClient::STATE_CLOSED:
        case CSClient::STATE_CLOSING: {
            ConnectionGuard g(*this);
            finishClosing();
            return;
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
    if (!isUp(state.load()))
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
    sleepCondition.wait_for(g, timing.reconnectPause, [this] { return closeRequested(); });
}

void CSClientProtocol::pauseAfterClose()
{
    // Inside an outer state change this thread still holds the lock, and
    // pausing would hold it too: the pause comes before the receive thread's
    // next connect attempt instead (the receive thread is the thread making
    // such nested changes).
    if (connectionLock.isHeldByCurrentThread())
        pauseBeforeConnect.store(true);
    else
        pauseBeforeReconnect();
}

CSClient::Result CSClientProtocol::startConnection()
{
    connectionLock.lock();
    if (state.load() == CSClient::STATE_CONNECTING) {
        if (CSCommsInterfaceTCP* tcp = dynamic_cast<CSCommsInterfaceTCP*>(comms)) {
            CSCommsInterfaceTCP::Options o;
            o.receiveBufferSize = connectionOptions.receiveBufferSize;
            o.sendBufferSize = connectionOptions.sendBufferSize;
            tcp->setOptions(o);
        }
        if (comms->openConnection(serverAddress.load(), serverPort.load())) {
            connectionNumber.fetch_add(1);
            takeState(CSClient::STATE_CONNECTING, CSClient::STATE_ESTABLISHING);
            releaseConnectionLock();
            return CSClient::RESULT_OK;
        }
    }
    releaseConnectionLock();
    closeConnection();
    return CSClient::RESULT_FAILED;
}

bool CSClientProtocol::applyReconnectPolicy()
{
    ConnectionGuard g(*this);
    const CSClient::State s = state.load();
    if (!hasOptions(OPTION_AUTO_RECONNECT)) {
        if (isLive(s)) {
            takeState(s, CSClient::STATE_CLOSING);
            serverAddress.store(0);
            serverPort.store(0);
        }
        return false;
    }
    switch (s) {
    case CSClient::STATE_CONNECTING:
    case CSClient::STATE_CONNECTION_LOST:
        return true;
    case CSClient::STATE_ESTABLISHING:
        takeState(s, CSClient::STATE_CONNECTING);
        return true;
    case CSClient::STATE_CONNECTED:
        if (!isQuiet())
            snlog::out() << "Attempting to reconnect...";
        takeState(s, CSClient::STATE_CONNECTION_LOST);
        takeState(CSClient::STATE_CONNECTION_LOST, CSClient::STATE_CONNECTING);
        return true;
    case CSClient::STATE_CLOSED:
    case CSClient::STATE_CLOSING:
        break;
    }
    return false;
}

void CSClientProtocol::closeConnection()
{
    if (applyReconnectPolicy())
        pauseAfterClose();
}

void CSClientProtocol::closeAfterFailedSend(unsigned connection)
{
    if (registryLock.isHeldByCurrentThread()) {
        // The connection lock comes before the registry lock: the close waits
        // until this thread releases the registry lock (RegistryGuard).
        tOwedClose.engine = this;
        tOwedClose.connection = connection;
        return;
    }
    closeFailedConnection(connection);
}

void CSClientProtocol::closeFailedConnection(unsigned connection)
{
    // A thread holding the connection lock may be in a blocking connect or
    // write: never wait for that lock here. The receive thread makes the
    // close then; the pause stays here.
    if (connectionLock.tryLock() != 0) {
        pendingCloseConnection.store(connection);
        if (hasOptions(OPTION_AUTO_RECONNECT))
            pauseBeforeReconnect();
        return;
    }
    // Only the connection that failed is closed, and only once.
    const bool pause = connection == connectionNumber.load() && isUp(state.load()) && applyReconnectPolicy();
    releaseConnectionLock();
    if (pause)
        pauseAfterClose();
}

void CSClientProtocol::closePendingConnection()
{
    // On the receive thread, for a send that failed elsewhere: the thread
    // that met the failure makes the pause.
    const unsigned pending = pendingCloseConnection.exchange(0);
    ConnectionGuard g(*this);
    if (pending != 0 && pending == connectionNumber.load() && isUp(state.load()))
        applyReconnectPolicy();
}

void CSClientProtocol::settleOwedClose()
{
    if (tOwedClose.engine != this || registryLock.isHeldByCurrentThread())
        return;
    const unsigned connection = tOwedClose.connection;
    tOwedClose = OwedClose();
    closeFailedConnection(connection);
}

CSClientProtocol::RegistryGuard::RegistryGuard(CSClientProtocol& e) : engine(e)
{
    engine.registryLock.lock();
}

CSClientProtocol::RegistryGuard::~RegistryGuard()
{
    engine.registryLock.unlock();
    engine.settleOwedClose();
}

void CSClientProtocol::forceCloseConnection()
{
    ConnectionGuard g(*this);
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
    waitForStateNotifications();
}

bool CSClientProtocol::readMessageHeader(RawMessage::Type& type, unsigned& bodyLength)
{
    RawMessage header(RawMessage::TYPE_DATA);
    const int got = comms->readMessage(FRAME_HEADER_SIZE, header);
    if (got == -2)
        return false;
    if (got == 0) {
        if (!isQuiet())
            snlog::err(snlog::Priority::warning) << "Connection closed by server.";
        closeConnection();
        return false;
    }
    if (got < 0) {
        if (!isQuiet())
            snlog::err() << "Read error. Closing connection.";
        closeConnection();
        return false;
    }
    unsigned frameLength = 0;
    switch (decodeFrameHeader(header, type, frameLength, bodyLength)) {
    case FRAME_HEADER_OK:
        return true;
    case FRAME_HEADER_SHORT:
        if (!isQuiet())
            snlog::err() << "Couldn't read a complete header. Closing connection.";
        break;
    case FRAME_HEADER_BAD_LENGTH:
        if (!isQuiet())
            snlog::err() << "Invalid message data received (" << frameLength << "). Closing connection.";
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
                snlog::out() << "Connection closed by server.";
            closeConnection();
            return;
        }
        if (got < 0 && got != -2) {
            if (!isQuiet())
                snlog::err() << "Read error. Closing connection.";
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
            } else if (now - closeSeenAt >= timing.partialFrameGrace) {
                return;
            }
        }
    }
    handleReceivedMessage(message);
}

CSClient::Result CSClientProtocol::sendMessage(const RawMessage& message)
{
    const CSClient::State s = state.load();
    if (!isUp(s))
        return CSClient::RESULT_NOT_CONNECTED;
    RawMessage frame(message.getType());
    if (!buildFrame(message, frame))
        return CSClient::RESULT_INVALID;
    const unsigned connection = connectionNumber.load();
    errno = 0;
    const int written = comms->writeMessage(frame);
    if (written != static_cast<int>(frame.getSize())) {
        const int error = errno;
        snlog::err() << "Error writing to server (" << error << ") ";
        closeAfterFailedSend(connection);
        return CSClient::RESULT_FAILED;
    }
    return CSClient::RESULT_OK;
}

void CSClientProtocol::setState(CSClient::State newState)
{
    ConnectionGuard g(*this);
    takeState(state.load(), newState);
}

bool CSClientProtocol::changeState(CSClient::State expected, CSClient::State newState)
{
    ConnectionGuard g(*this);
    return state.load() == expected && takeState(expected, newState);
}

// The caller holds the connection lock and has read `from` under it. A
// close request is final (only the receive thread's STATE_CLOSED follows
// it), a closed engine is reopened only by an open, and STATE_CONNECTED is
// reached only from STATE_ESTABLISHING.
bool CSClientProtocol::takeState(CSClient::State from, CSClient::State to)
{
    if (state.load() != from || !isMove(from, to))
        return false;
    state.store(to);
    {
        std::lock_guard<std::mutex> g(notifyMutex);
        pendingNotifications.push_back(StateChange{from, to});
    }
    if (to == CSClient::STATE_CLOSING)
        wakeSleepers();
    // The engine's own reaction runs in the same step, so it never acts on
    // a state that another thread has left meanwhile; changes it makes are
    // queued after this one.
    handleConnectionStateChange(from, to);
    return true;
}

CSClientProtocol::ConnectionGuard::ConnectionGuard(CSClientProtocol& e) : engine(e)
{
    engine.connectionLock.lock();
}

CSClientProtocol::ConnectionGuard::~ConnectionGuard()
{
    engine.releaseConnectionLock();
}

void CSClientProtocol::releaseConnectionLock()
{
    connectionLock.unlock();
    deliverStateChanges();
}

// Delivers the queued changes in order, on the first thread to get here
// that holds no engine lock; the others leave theirs to it, including the
// changes that its own callbacks make (delivered after the current one).
void CSClientProtocol::deliverStateChanges()
{
    if (connectionLock.isHeldByCurrentThread() || registryLock.isHeldByCurrentThread())
        return;
    std::unique_lock<std::mutex> g(notifyMutex);
    if (notifying)
        return;
    notifying = true;
    notifier = std::this_thread::get_id();
    struct Done {
        CSClientProtocol& engine;
        std::unique_lock<std::mutex>& lock;
        ~Done()
        {
            if (!lock.owns_lock())
                lock.lock();
            engine.notifying = false;
            engine.notifier = std::thread::id();
            engine.notificationsDone.notify_all();
        }
    } done{*this, g};
    while (!pendingNotifications.empty()) {
        const StateChange change = pendingNotifications.front();
        pendingNotifications.pop_front();
        g.unlock();
        std::set<CSClient::CallbackIface*> copy;
        getCallbackInterfaces(copy);
        for (CSClient::CallbackIface* callback : copy)
            callback->connectionStateChanged(change.from, change.to);
        g.lock();
    }
}

void CSClientProtocol::waitForStateNotifications()
{
    deliverStateChanges();
    std::unique_lock<std::mutex> g(notifyMutex);
    notificationsDone.wait(g, [this] { return notificationsSettled(); });
}

// Under notifyMutex. Inside a notification of this very engine the thread's
// own later changes wait for it, so there is nothing to wait for.
bool CSClientProtocol::notificationsSettled() const
{
    if (notifying && notifier == std::this_thread::get_id())
        return true;
    return !notifying && pendingNotifications.empty();
}

bool CSClientProtocol::stateChangesNotified()
{
    deliverStateChanges();
    std::lock_guard<std::mutex> g(notifyMutex);
    return notificationsSettled();
}

void CSClientProtocol::handleConnectionStateChange(CSClient::State, CSClient::State newState)
{
    switch (newState) {
    case CSClient::STATE_CLOSED:
        unregisterAllLocalParameters();
        break;
    case CSClient::STATE_ESTABLISHING:
        changeState(CSClient::STATE_ESTABLISHING, CSClient::STATE_CONNECTED);
        break;
    case CSClient::STATE_CONNECTED: {
        // Re-registration follows even when the version request failed and
        // the connection moved on: the inputs go back to waiting and the
        // requests go out with the next connection.
        requestSimulatorVersion();
        unsigned inputs, outputs;
        {
            CSLockGuard r(registryLock);
            inputs = static_cast<unsigned>(inputsByName.size());
            outputs = static_cast<unsigned>(outputsByName.size());
        }
        if (inputs == 0 && outputs == 0)
            break;
        if (!isQuiet())
            snlog::out() << "Re-registering input/output parameters (" << inputs << "/" << outputs << ")...";
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
