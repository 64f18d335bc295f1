#ifndef COM_VELA_CSCLIENTPROTOCOL_H
#define COM_VELA_CSCLIENTPROTOCOL_H

#include "CSClient.h"
#include "CSCommsInterfaceTCP.h"
#include "CSMutex.h"
#include "CSThread.h"
#include "RawMessage.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace com_vela {

// Base of the protocol engines: connection state machine, receive thread,
// callback set and parameter registry. Derived protocols supply the message
// formats through the pure virtual operations.
//
// Lock order: connectionLock, then registryLock, then the comms write lock.
// The callback lock is held only to copy or edit the set.
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
    // Longest accepted parameter id, in characters.
    static constexpr unsigned MAX_PARAMETER_ID_LENGTH = 31;

    struct InputParameterEntry {
        std::string id;
        CSClient::ParameterType type = CSClient::PARAMETER_TYPE_INVALID;
        unsigned updateRate = 0;
        unsigned serverId = UNCONFIRMED_SERVER_ID;
    };

    struct OutputParameterEntry {
        std::string id;
        CSClient::ParameterType type = CSClient::PARAMETER_TYPE_INVALID;
        unsigned serverId = UNCONFIRMED_SERVER_ID;
        bool hasValue = false;
        CSClient::Value value = {0.0f};
        bool override = false;
    };

    explicit CSClientProtocol(unsigned options);
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

    // Adopts `comms` (deleting the current one) only while closed.
    bool changeCommsInterface(CSCommsInterfaceTCP* comms);

    CSClient::Result openConnection(unsigned address, unsigned port,
                                    const CSClient::ConnectionOptions* connectionOptions);
    void forceCloseConnection();
    void closeConnection();
    CSClient::Result startConnection();
    void receiveMessage();
    CSClient::Result sendMessage(const RawMessage& message);
    void setState(CSClient::State newState);
    bool readMessageHeader(RawMessage::Type& type, unsigned& bodyLength);

    static void* mainThread(void* engine);

    // Joins a finished receive thread; the owner calls it once the state is
    // STATE_CLOSED and before destroying the engine.
    void waitForReceiveThread();

    // Pause between connect attempts (1 second; shorter only in tests).
    void setReconnectInterval(std::chrono::milliseconds interval);

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

protected:
    bool isQuiet() const { return hasOptions(OPTION_QUIET); }
    void setServerVersion(const std::string& version);
    void setProtocolVersion(unsigned version) { protocolVersion.store(version); }

    // Entry of a registry table built as findPublishedParameter reports it.
    static CSClient::Parameter toParameter(const OutputParameterEntry& entry);

    // A subscribe or publish response names the id the server gave a
    // definition: record it, dropping an older id so no stale mapping keeps
    // pointing at the entry. The caller holds registryLock.
    void adoptInputServerId(InputParameterEntry* entry, unsigned serverId);
    void adoptOutputServerId(OutputParameterEntry* entry, unsigned serverId);

    // Guards the four tables below. Not recursive: the request builders that
    // the registry calls with it held must not take it.
    mutable CSMutex registryLock;
    std::map<std::string, InputParameterEntry*> inputsByName;
    std::map<unsigned, std::string> inputIdsToNames;
    std::map<std::string, OutputParameterEntry*> outputsByName;
    std::map<unsigned, OutputParameterEntry*> outputsById;

    CSThread receiveThread;

private:
    void finishClosing();
    void closeAfterFailedSend();
    void pauseBeforeReconnect();
    bool closeRequested() const;
    bool connectionGivenUp() const;
    void wakeSleepers();

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
    CSCommsInterfaceTCP* comms;
    std::set<CSClient::CallbackIface*> callbacks;

    // Connection number, counted at every successful connect; a close that a
    // failed send could not make at once is made by the receive thread if
    // the same connection is still up.
    std::atomic<unsigned> connectionNumber;
    std::atomic<unsigned> pendingCloseConnection;
    std::atomic<bool> pauseBeforeConnect;

    std::atomic<long long> reconnectIntervalMs;
    std::mutex sleepMutex;
    std::condition_variable sleepCondition;
};

} // namespace com_vela

#endif
