#ifndef COM_VELA_CSCLIENT_H
#define COM_VELA_CSCLIENT_H

#include "RawMessage.h"
#include "Timing.h"

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace com_vela {

class CSClientProtocol;

// Application-facing client: owns one protocol engine and forwards to it.
// The derived client (SimClient, AppClient) creates the engine.
class CSClient {
public:
    enum State : uint32_t {
        STATE_CLOSED = 0,
        STATE_CONNECTING = 1,
        STATE_ESTABLISHING = 2,
        STATE_CLOSING = 3,
        STATE_CONNECTED = 4,
        STATE_CONNECTION_LOST = 5
    };

    enum Result : uint32_t {
        RESULT_OK = 0,
        RESULT_NOT_CONNECTED = 1,
        RESULT_FAILED = 2,
        RESULT_INVALID = 3,
        RESULT_NOT_RUNNING = 4,
        RESULT_BUSY = 5,
        RESULT_REFUSED = 6
    };

    enum ParameterType : uint32_t {
        PARAMETER_TYPE_INVALID = 0,
        PARAMETER_TYPE_FLOAT = 1,
        PARAMETER_TYPE_INT = 2
    };

    // 4-byte value, read according to the accompanying ParameterType.
    union Value {
        float floatValue;
        int intValue;
    };

    struct Parameter {
        std::string id;
        Value value = {0.0f};
        ParameterType type = PARAMETER_TYPE_INVALID;
        bool override = false;

        static Parameter makeFloat(const std::string& id, float v, bool override = false);
        static Parameter makeInt(const std::string& id, int v, bool override = false);
    };

    struct InputDef {
        std::string id;
        ParameterType type = PARAMETER_TYPE_INVALID;
        unsigned updateRate = 0;   // rate code 0..3
    };

    struct OutputDef {
        std::string id;
        ParameterType type = PARAMETER_TYPE_INVALID;
    };

    struct ConnectionOptions {
        unsigned receiveBufferSize = 0;   // 0: system default
        unsigned sendBufferSize = 0;      // 0: system default
    };

    // Listener; owned by the application, which keeps it alive until the
    // client is closed.
    class CallbackIface {
    public:
        virtual ~CallbackIface() {}
        virtual void connectionStateChanged(State oldState, State newState) = 0;
        virtual void parametersUpdated(const std::vector<Parameter>& parameters) = 0;
        virtual void registrationComplete(const std::vector<OutputDef>&) {}
        virtual void registrationComplete(const std::vector<InputDef>&) {}
    };

    // The timing goes to the engine the derived client creates, and sets
    // how often the facade's waits look (facadePollStep) and how long close
    // waits (closeWait).
    explicit CSClient(unsigned options, const Timing& timing = Timing());
    virtual ~CSClient();

    virtual Result open(unsigned address, unsigned port, const ConnectionOptions* options = nullptr);
    virtual void close();
    Result open(const char* address, unsigned port, const ConnectionOptions* options = nullptr);

    bool waitForConnectionState(State state, unsigned seconds) const;
    Result sendMessage(const RawMessage& message);

    unsigned getOptions() const;
    bool hasOptions(unsigned mask) const;
    State getConnectionState() const;
    std::string getServerVersion() const;
    unsigned getProtocolVersion() const;
    std::string getServerIPAddress() const;
    unsigned getServerPort() const;

    unsigned getNumberOfRegisteredInputParameters() const;
    unsigned getNumberOfUnregisteredInputParameters() const;
    unsigned getNumberOfRegisteredOutputParameters() const;
    unsigned getNumberOfUnregisteredOutputParameters() const;
    bool isInputParameterRegistered(const std::string& id) const;
    bool isOutputParameterRegistered(const std::string& id) const;

    Result registerInputParameter(const InputDef& def);
    Result registerInputParameters(const InputDef* defs, unsigned count);
    Result registerInputParameters(const std::vector<InputDef>& defs);
    Result unregisterInputParameter(const std::string& id);
    Result unregisterInputParameters(const std::vector<std::string>& ids);
    Result unregisterInputParameters(const InputDef* defs, unsigned count);
    Result unregisterAllInputParameters();
    bool waitForInputsToBeRegistered(unsigned seconds) const;

    Result registerOutputParameter(const OutputDef& def);
    Result registerOutputParameters(const OutputDef* defs, unsigned count);
    Result registerOutputParameters(const std::vector<OutputDef>& defs);
    Result unregisterOutputParameter(const std::string& id);
    Result unregisterOutputParameters(const std::vector<std::string>& ids);
    Result unregisterOutputParameters(const OutputDef* defs, unsigned count);
    Result unregisterAllOutputParameters();
    bool waitForOutputsToBeRegistered(unsigned seconds) const;

    Result publishParameter(const Parameter& parameter);
    Result publishParameters(const Parameter* parameters, unsigned count);
    Result publishParameters(const std::vector<Parameter>& parameters);
    bool findPublishedParameter(const std::string& id, Parameter& out) const;
    void getAllPublishedParameters(std::vector<Parameter>& out) const;

    bool addCallbackInterface(CallbackIface* callback);
    void removeCallbackInterface(CallbackIface* callback);
    bool hasCallbackInterface(CallbackIface* callback) const;
    unsigned getNumCallbackInterfaces() const;
    void getCallbackInterfaces(std::set<CallbackIface*>& out) const;

    static std::string getClientVersion();

    CSClient(const CSClient&) = delete;
    CSClient& operator=(const CSClient&) = delete;

protected:
    const Timing timing;
    // Owned; set by the derived client's constructor, deleted by ~CSClient.
    CSClientProtocol* protocol;

private:
    template <typename Condition>
    bool pollFor(std::chrono::milliseconds bound, Condition done) const;
};

} // namespace com_vela

#endif
