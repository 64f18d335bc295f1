#ifndef TESTS_CSCLIENT_TESTPROTOCOL_H
#define TESTS_CSCLIENT_TESTPROTOCOL_H

// A minimal protocol on top of CSClientProtocol for exercising the engine:
// protocol byte 9, subprotocol 9; each request is one frame whose code names
// the request, followed by the count and the ids (32-byte fields).

#include "CSClient.h"
#include "CSClientProtocol.h"
#include "CSCommsInterfaceTCP.h"
#include "ScriptedServer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace cstest {

enum TestCode : unsigned short {
    CODE_VERSION = 0x0006,
    CODE_SUBSCRIBE_INPUTS = 0x0001,
    CODE_UNSUBSCRIBE_INPUTS = 0x0004,
    CODE_SUBSCRIBE_OUTPUTS = 0x0002,
    CODE_UNSUBSCRIBE_OUTPUTS = 0x0005,
    CODE_PUBLISH = 0x0003
};

// One call of a request operation: the code and the ids it carried.
struct RequestCall {
    unsigned short code;
    std::vector<std::string> ids;
    com_vela::CSClient::Result sendResult;
};

class TestProtocol : public com_vela::CSClientProtocol {
public:
    explicit TestProtocol(unsigned options);
    ~TestProtocol() override;

    void handleReceivedMessage(const com_vela::RawMessage& message) override;
    com_vela::CSClient::Result requestSimulatorVersion() override;
    com_vela::CSClient::Result sendInputSubscriptionRequest(const std::vector<InputParameterEntry*>& e) override;
    com_vela::CSClient::Result sendInputUnsubscriptionRequest(const std::vector<InputParameterEntry*>& e) override;
    com_vela::CSClient::Result sendOutputSubscriptionRequest(const std::vector<OutputParameterEntry*>& e) override;
    com_vela::CSClient::Result sendOutputUnsubscriptionRequest(const std::vector<OutputParameterEntry*>& e) override;
    com_vela::CSClient::Result sendParameterPublishRequest(const std::vector<OutputParameterEntry*>& e,
                                                           PublishMode mode) override;

    // Stand in for a server confirmation.
    void confirmInput(const std::string& id, unsigned serverId);
    void confirmOutput(const std::string& id, unsigned serverId);
    size_t outputIdCount();

    // Keeps the receive thread slot busy so that starting the thread fails.
    void occupyReceiveThread();
    void releaseReceiveThread();

    std::vector<RequestCall> calls();
    std::vector<com_vela::RawMessage> received();
    bool waitForReceived(size_t count, int timeoutMs);

    // Runs inside handleReceivedMessage, after recording.
    std::function<void(const com_vela::RawMessage&)> onReceive;

private:
    com_vela::CSClient::Result sendRequest(unsigned short code, const std::vector<std::string>& ids);
    static void* occupy(void*);

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<RequestCall> requestCalls;
    std::vector<com_vela::RawMessage> messages;
    std::atomic<bool> releaseOccupant{false};
};

class TestClient : public com_vela::CSClient {
public:
    explicit TestClient(unsigned options);
    TestProtocol& engine() { return *static_cast<TestProtocol*>(protocol); }
};

// Comms interface whose writes can be made to fail, and that counts connects.
class SwitchableComms : public com_vela::CSCommsInterfaceTCP {
public:
    int writeMessage(const com_vela::RawMessage& message) override;
    bool openConnection(unsigned ipAddress, unsigned port) override;
    std::atomic<bool> failWrites{false};
    std::atomic<int> connects{0};
    std::atomic<int> failedWrites{0};
    std::atomic<int> writes{0};
};

// Records every notification.
class RecordingCallback : public com_vela::CSClient::CallbackIface {
public:
    typedef std::pair<com_vela::CSClient::State, com_vela::CSClient::State> Change;
    void connectionStateChanged(com_vela::CSClient::State oldState, com_vela::CSClient::State newState) override;
    void parametersUpdated(const std::vector<com_vela::CSClient::Parameter>& parameters) override;

    std::vector<Change> changes();
    // Waits until the given change has been seen `times` times.
    bool waitForChange(com_vela::CSClient::State from, com_vela::CSClient::State to, int timeoutMs, int times = 1);

    // Runs inside connectionStateChanged, after recording.
    std::function<void(com_vela::CSClient::State, com_vela::CSClient::State)> onChange;

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Change> seen;
};

// Decodes the ids of a test request body.
std::vector<std::string> requestIds(const std::vector<uint8_t>& body);

} // namespace cstest

#endif
