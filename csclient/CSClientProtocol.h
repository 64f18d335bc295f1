#ifndef COM_VELA_CSCLIENTPROTOCOL_H
#define COM_VELA_CSCLIENTPROTOCOL_H

#include "CSClient.h"
#include "CSCommsInterface.h"
#include "CSMutex.h"
#include "CSThread.h"
#include "RawMessage.h"
#include "Timing.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace com_vela {

// Base of the protocol engines: connection state machine, receive thread,
// callback set and parameter registry. Derived protocols supply the message
// formats through the pure virtual operations.
//
// Lock order: connectionLock, then registryLock, then the comms write lock.
// The callback lock is held only to copy or edit the set.
//
// State moves: every move is one of the state machine's and is checked and
// made under the connection lock in one step, together with the engine's
// own reaction to it (handleConnectionStateChange). A move that a concurrent
// failure can invalidate names the state it expects (changeState). The
// callbacks hear of the moves afterwards, with no engine lock held, in the
// order the states were taken: each move is queued as it is made, and one
// thread at a time delivers the queue.
//
// A send that fails closes the connection under the reconnect policy on the
// thread that met the failure, and the pause before the next connect attempt
// runs on that thread once it holds no engine lock. A thread holding the
// registry lock cannot take the connection lock (wrong order): its close is
// made as it releases the registry lock (RegistryGuard).
class CSClientProtocol {
public:
    // Option bits.
    enum Options : unsigned {
        OPTION_AUTO_RECONNECT = 1,
        OPTION_QUIET = 2,
        OPTION_UNUSED_4 = 4,
        OPTION_NO_LOG = 8
    };

    enum PublishMode : uint32_t {
        PUBLISH_PLAIN = 0,
        PUBLISH_OVERRIDE = 2,
        PUBLISH_RESET_OVERRIDE = 3,
        PUBLISH_DELTA = 0x10000
    };

    // serverId of a definition waiting for the server's confirmation.
    static constexpr unsigned UNCONFIRMED_SERVER_ID = 0xFFFFF;
    // Longest accepted parameter id, in characters; ids travel in zero-padded
    // fields of NAME_FIELD_SIZE bytes.
    static constexpr unsigned MAX_PARAMETER_ID_LENGTH = 31;
    static constexpr unsigned NAME_FIELD_SIZE = MAX_PARAMETER_ID_LENGTH + 1;

    struct InputParameterEntry {
        std::string id;
        CSClient::ParameterType type = CSClient::PARAMETER_TYPE_INVALID;
        unsigned updateRate = 0;
        unsigned serverId = UNCONFIRMED_SERVER_ID;
    };

    // Where a subscribe or publish response lists its entries (offsets into
    // the body, and inside one entry).
    struct ResponseLayout {
        unsigned countOffset;   // u32 count N
        unsigned firstEntry;    // offset of entry 0
        unsigned entrySize;
        unsigned idOffset;      // u32 server id
        unsigned nameOffset;    // name[32]
    };

    struct OutputParameterEntry {
        std::string id;
        CSClient::ParameterType type = CSClient::PARAMETER_TYPE_INVALID;
        unsigned serverId = UNCONFIRMED_SERVER_ID;
        bool hasValue = false;
        CSClient::Value value = {0.0f};
        bool override = false;
    };

    explicit CSClientProtocol(unsigned options, const Timing& timing = Timing());
    virtual ~CSClientProtocol();

    // Slot order of the virtual operations matters to the derived protocols.
    virtual void handleReceivedMessage(const RawMessage& message) = 0;
    virtual void handleConnectionStateChange(CSClient::State oldState, CSClient::State newState);
    virtual CSClient::Result registerInputParameters(const CSClient::InputDef* defs, unsigned count);
    virtual CSClient::Result unregisterInputParameters(const std::vector<std::string>& names);
    virtual CSClient::Result requestSimulatorVersion() = 0;
    virtual CSClient::Result sendInputSubscriptionRequest(const std::vector<InputParameterEntry*>& entries) = 0;
    virtual CSClient::Result sendInputUnsubscriptionRequest(const std::vector<InputParameterEntry*>& entries) = 0;
    virtual CSClient::Result sendOutputSubscriptionRequest(const std::vector<OutputParameterEntry*>& entries) = 0;
    virtual CSClient::Result sendOutputUnsubscriptionRequest(const std::vector<OutputParameterEntry*>& entries) = 0;
    virtual CSClient::Result sendParameterPublishRequest(const std::vector<OutputParameterEntry*>& entries,
                                                         PublishMode mode) = 0;

    // ---- connection ----
    unsigned getOptions() const { return options; }
    bool hasOptions(unsigned mask) const { return (options & mask) == mask; }
    CSClient::State getState() const { return state.load(); }
    std::string getServerVersion() const;
    unsigned getProtocolVersion() const { return protocolVersion.load(); }
    std::string getServerIPAddress() const;
    unsigned getServerPort() const { return serverPort.load(); }

    // Adopts `comms` (deleting the current one) only while closed. The
    // engine creates a CSCommsInterfaceTCP; tests and the fuzz targets put a
    // CSCommsInterfaceBuffer in its place.
    bool changeCommsInterface(CSCommsInterface* comms);

    CSClient::Result openConnection(unsigned address, unsigned port,
                                    const CSClient::ConnectionOptions* connectionOptions);
    void forceCloseConnection();
    void closeConnection();
    CSClient::Result startConnection();
    void receiveMessage();
    CSClient::Result sendMessage(const RawMessage& message);
    // Moves to `newState` from whatever the state is, when the state machine
    // has that move; otherwise nothing happens.
    void setState(CSClient::State newState);
    // Moves to `newState` only from `expected`: false, with nothing changed
    // or notified, when the state is another or the move is not one of the
    // machine's.
    bool changeState(CSClient::State expected, CSClient::State newState);
    bool readMessageHeader(RawMessage::Type& type, unsigned& bodyLength);

    static void* mainThread(void* engine);

    // Runs the receive thread's work (connect, read and dispatch frames, the
    // state machine) on the calling thread until the engine is closed again.
    // For a comms interface whose input ends (CSCommsInterfaceBuffer): its
    // end reads as the peer closing, which closes an engine without automatic
    // reconnection. RESULT_FAILED unless closed; RESULT_INVALID with
    // automatic reconnection, under which the loop would never end.
    CSClient::Result runReceiveLoopInline(unsigned address, unsigned port);

    // Joins a finished receive thread and waits until every state change is
    // notified; the owner calls it once the state is STATE_CLOSED and before
    // destroying the engine.
    void waitForReceiveThread();

    // True once every state change taken so far is notified, or when the
    // calling thread is itself delivering one (its later changes follow
    // it). Delivers what is queued first, if no other thread does.
    bool stateChangesNotified();

    const Timing& getTiming() const { return timing; }

    // ---- callbacks ----
    bool addCallbackInterface(CSClient::CallbackIface* callback);
    void removeCallbackInterface(CSClient::CallbackIface* callback);
    bool hasCallbackInterface(CSClient::CallbackIface* callback) const;
    unsigned getNumCallbackInterfaces() const;
    void getCallbackInterfaces(std::set<CSClient::CallbackIface*>& out) const;

    // ---- registry ----
    CSClient::Result unregisterAllInputParameters();
    CSClient::Result registerOutputParameters(const CSClient::OutputDef* defs, unsigned count);
    CSClient::Result unregisterOutputParameters(const std::vector<std::string>& names);
    CSClient::Result unregisterAllOutputParameters();
    void reregisterAllInputParameters();
    void reregisterAllOutputParameters();
    CSClient::Result publishParameters(const CSClient::Parameter* parameters, unsigned count, PublishMode mode);
    bool findPublishedParameter(const std::string& id, CSClient::Parameter& out) const;
    void getAllPublishedParameters(std::vector<CSClient::Parameter>& out) const;
    bool hasInputParameter(const std::string& id, bool registeredOnly) const;
    bool hasOutputParameter(const std::string& id, bool registeredOnly) const;
    unsigned getNumberOfInputParameters(bool registeredOnly) const;
    unsigned getNumberOfOutputParameters(bool registeredOnly) const;
    unsigned getNumberOfInputParametersWaitingForConfirmation() const;
    unsigned getNumberOfOutputParametersWaitingForConfirmation() const;
    void unregisterAllLocalParameters();

    CSClientProtocol(const CSClientProtocol&) = delete;
    CSClientProtocol& operator=(const CSClientProtocol&) = delete;

    struct TestAccess;

protected:
    // Holds the registry lock for a scope; a send that failed under it has
    // its connection closed (and the reconnect pause made) once the lock is
    // released. Every non-const holder of the registry lock uses it.
    class RegistryGuard {
    public:
        explicit RegistryGuard(CSClientProtocol& engine);
        ~RegistryGuard();
        RegistryGuard(const RegistryGuard&) = delete;
        RegistryGuard& operator=(const RegistryGuard&) = delete;

    private:
        CSClientProtocol& engine;
    };

    bool isQuiet() const { return hasOptions(OPTION_QUIET); }
    // The requests whose entries the registry keeps report "not connected"
    // as done: the entries go out with the next connection.
    static CSClient::Result keptForLater(CSClient::Result r)
    {
        return r == CSClient::RESULT_NOT_CONNECTED ? CSClient::RESULT_OK : r;
    }
    void setServerVersion(const std::string& version);
    void setProtocolVersion(unsigned version) { protocolVersion.store(version); }

    // Entry of a registry table built as findPublishedParameter reports it.
    static CSClient::Parameter toParameter(const OutputParameterEntry& entry);

    // A subscribe or publish response names the id the server gave a
    // definition: record it, dropping an older id so no stale mapping keeps
    // pointing at the entry. The caller holds registryLock.
    void adoptInputServerId(InputParameterEntry* entry, unsigned serverId);
    void adoptOutputServerId(OutputParameterEntry* entry, unsigned serverId);

    // Subscribe response: each entry naming a registered input takes its
    // server id ("Successful registration of <label> input ..." unless
    // quiet; unknown names are skipped); `value` gives the current value
    // delivered for it, or false for none. Then registrationComplete and
    // parametersUpdated on every callback, also with empty lists.
    typedef std::function<bool(const RawMessage&, unsigned entryOffset, const InputParameterEntry&,
                               CSClient::Parameter&)>
        EntryValue;
    void confirmInputs(const RawMessage& response, const ResponseLayout& layout, const char* label,
                       const EntryValue& value);
    // Publish response: each entry naming a registered output takes its
    // server id (unknown names: "Parameter not found: "); registrationComplete
    // on every callback; then the last published value of every confirmed
    // output goes out again, overrides with PUBLISH_OVERRIDE when
    // `keepOverrides`, all others with PUBLISH_PLAIN.
    void confirmOutputs(const RawMessage& response, const ResponseLayout& layout, const char* label,
                        bool keepOverrides);
    // parametersUpdated with `values` on every callback, unless empty.
    void deliverParameters(const std::vector<CSClient::Parameter>& values);

    // The registry checks of one id and type ("Subscription type ... is
    // invalid!", "Length of parameter id string ..."), on standard error.
    static bool validParameter(const std::string& id, CSClient::ParameterType type);

    // Guards the four tables below. Not recursive: the request builders that
    // the registry calls with it held must not take it.
    mutable CSMutex registryLock;
    std::map<std::string, InputParameterEntry*> inputsByName;
    std::map<unsigned, std::string> inputIdsToNames;
    std::map<std::string, OutputParameterEntry*> outputsByName;
    std::map<unsigned, OutputParameterEntry*> outputsById;

private:
    // Holds the connection lock for a scope; once this thread no longer
    // holds it, the state changes made meanwhile are notified.
    class ConnectionGuard {
    public:
        explicit ConnectionGuard(CSClientProtocol& engine);
        ~ConnectionGuard();
        ConnectionGuard(const ConnectionGuard&) = delete;
        ConnectionGuard& operator=(const ConnectionGuard&) = delete;

    private:
        CSClientProtocol& engine;
    };

    struct StateChange {
        CSClient::State from;
        CSClient::State to;
    };

    bool takeState(CSClient::State from, CSClient::State to);
    void releaseConnectionLock();
    void deliverStateChanges();
    void waitForStateNotifications();
    bool notificationsSettled() const;
    void receiveLoop();
    void finishClosing();
    bool applyReconnectPolicy();
    void closeAfterFailedSend(unsigned connection);
    void closeFailedConnection(unsigned connection);
    void closePendingConnection();
    void settleOwedClose();
    void pauseAfterClose();
    void pauseBeforeReconnect();
    bool closeRequested() const;
    bool connectionGivenUp() const;
    void wakeSleepers();
    template <typename Entry, typename IdMap, typename Send>
    void unregisterEntries(const std::vector<std::string>& names, std::map<std::string, Entry*>& byName,
                           IdMap& byId, Send send);

    const Timing timing;
    CSThread receiveThread;

    std::atomic<unsigned> serverAddress;
    std::atomic<unsigned> serverPort;
    const unsigned options;
    CSClient::ConnectionOptions connectionOptions;
    mutable std::mutex versionLock;
    std::string serverVersion;
    std::atomic<unsigned> protocolVersion;

    // Recursive: a send that fails inside a state change made under it
    // closes the connection on the same thread.
    CSMutex connectionLock;
    mutable CSMutex callbackLock;
    std::atomic<CSClient::State> state;
    CSCommsInterface* comms;
    std::set<CSClient::CallbackIface*> callbacks;

    // Connection number, counted at every successful connect; a close that a
    // failed send could not make at once is made by the receive thread if
    // the same connection is still up.
    std::atomic<unsigned> connectionNumber;
    std::atomic<unsigned> pendingCloseConnection;
    std::atomic<bool> pauseBeforeConnect;

    std::mutex sleepMutex;
    std::condition_variable sleepCondition;

    // State changes not yet notified, in the order they were taken, and the
    // thread delivering them (none while `notifying` is false).
    std::mutex notifyMutex;
    std::condition_variable notificationsDone;
    std::deque<StateChange> pendingNotifications;
    bool notifying = false;
    std::thread::id notifier;
};

// For tests only.
struct CSClientProtocol::TestAccess {
    // The receive thread's wrapper: a test holding a thread in it makes the
    // next open fail to start its receive thread.
    static CSThread& receiveThread(CSClientProtocol& engine) { return engine.receiveThread; }
};

} // namespace com_vela

#endif
