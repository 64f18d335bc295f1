#ifndef TESTS_CSCLIENT_TESTPROTOCOL_H
#define TESTS_CSCLIENT_TESTPROTOCOL_H

// A minimal protocol on top of CSClientProtocol for exercising the engine:
// protocol byte 9, subprotocol 9; each request is one frame whose code names
// the request, followed by the count and the ids (32-byte fields).

#include "CSClient.h"
#include "CSClientProtocol.h"
#include "CSCommsInterfaceBuffer.h"
#include "CSCommsInterfaceTCP.h"
#include "ScriptedServer.h"
#include "Timing.h"

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

// The program's timing with a short reconnect pause.
inline Timing quickReconnect(std::chrono::milliseconds pause = std::chrono::milliseconds(100))
{
    Timing t;
    t.reconnectPause = pause;
    return t;
}

inline com_vela::CSClient::InputDef input(const std::string& id,
                                          com_vela::CSClient::ParameterType type = com_vela::CSClient::PARAMETER_TYPE_FLOAT,
                                          unsigned updateRate = 1)
{
    com_vela::CSClient::InputDef d;
    d.id = id;
    d.type = type;
    d.updateRate = updateRate;
    return d;
}

inline com_vela::CSClient::OutputDef output(const std::string& id,
                                            com_vela::CSClient::ParameterType type = com_vela::CSClient::PARAMETER_TYPE_FLOAT)
{
    com_vela::CSClient::OutputDef d;
    d.id = id;
    d.type = type;
    return d;
}

class TestProtocol : public com_vela::CSClientProtocol {
public:
    explicit TestProtocol(unsigned options, const Timing& timing = Timing());
    ~TestProtocol() override;

    void handleReceivedMessage(const com_vela::RawMessage& message) override;
    com_vela::CSClient::Result requestSimulatorVersion() override;
    com_vela::CSClient::Result sendInputSubscriptionRequest(const std::vector<InputParameterEntry*>& e) override;
    com_vela::CSClient::Result sendInputUnsubscriptionRequest(const std::vector<InputParameterEntry*>& e) override;
    com_vela::CSClient::Result sendOutputSubscriptionRequest(const std::vector<OutputParameterEntry*>& e) override;
    com_vela::CSClient::Result sendOutputUnsubscriptionRequest(const std::vector<OutputParameterEntry*>& e) override;
    com_vela::CSClient::Result sendParameterPublishRequest(const std::vector<OutputParameterEntry*>& e,
                                                           PublishMode mode) override;

    // Stand in for a server confirmation: a response naming the id, handled
    // as the real protocols handle theirs.
    void confirmInput(const std::string& id, unsigned serverId);
    void confirmOutput(const std::string& id, unsigned serverId);

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
    explicit TestClient(unsigned options, const Timing& timing = Timing());
    TestProtocol& engine() { return *static_cast<TestProtocol*>(protocol); }
};

// Comms interface whose writes can be made to fail, and that counts connects.
class SwitchableComms : public com_vela::CSCommsInterfaceTCP {
public:
    explicit SwitchableComms(const Timing& timing = Timing()) : CSCommsInterfaceTCP(timing) {}
    int writeMessage(const com_vela::RawMessage& message) override;
    bool openConnection(unsigned ipAddress, unsigned port) override;
    std::atomic<bool> failWrites{false};
    // The number (from 1) of the one write to fail; 0 for none.
    std::atomic<int> failWrite{0};
    std::atomic<int> connects{0};
    std::atomic<int> failedWrites{0};
    std::atomic<int> writes{0};
};

// A byte buffer as the peer whose writes fail once `failFrom` frames have
// been written (never by default).
class FailingBuffer : public com_vela::CSCommsInterfaceBuffer {
public:
    explicit FailingBuffer(std::vector<char> input = {}, int failFrom = -1)
        : CSCommsInterfaceBuffer(std::move(input)), failFrom(failFrom) {}
    int writeMessage(const com_vela::RawMessage& message) override;
    int writes = 0;

private:
    const int failFrom;
};

// Records every notification.
class RecordingCallback : public com_vela::CSClient::CallbackIface {
public:
    typedef std::pair<com_vela::CSClient::State, com_vela::CSClient::State> Change;
    void connectionStateChanged(com_vela::CSClient::State oldState, com_vela::CSClient::State newState) override;
    void parametersUpdated(const std::vector<com_vela::CSClient::Parameter>& parameters) override;

    std::vector<Change> changes();
    // Each change with the client state read inside its notification, when
    // `stateOf` is set (copied under the recorder's own lock).
    std::vector<com_vela::CSClient::State> statesSeen();
    std::function<com_vela::CSClient::State()> stateOf;
    // Waits until the given change has been seen `times` times.
    bool waitForChange(com_vela::CSClient::State from, com_vela::CSClient::State to, int timeoutMs, int times = 1);

    // Runs inside connectionStateChanged, after recording.
    std::function<void(com_vela::CSClient::State, com_vela::CSClient::State)> onChange;

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Change> seen;
    std::vector<com_vela::CSClient::State> states;
};

// Decodes the ids of a test request body.
std::vector<std::string> requestIds(const std::vector<uint8_t>& body);

} // namespace cstest

#endif
