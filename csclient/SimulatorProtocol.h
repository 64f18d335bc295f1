#ifndef COM_VELA_SIMULATORPROTOCOL_H
#define COM_VELA_SIMULATORPROTOCOL_H

#include "CSClientProtocol.h"

#include <atomic>

namespace com_vela {

// Engine of the SIM protocol (protocol 4, subprotocol 2) to the RHM server.
// It has no handshake of its own: the base engine connects it at once and
// asks for the version on reaching STATE_CONNECTED.
class SimulatorProtocol : public CSClientProtocol {
public:
    // Message codes.
    enum : unsigned {
        CODE_INPUT_SUBSCRIPTION = 0x0001,
        CODE_OUTPUT_SUBSCRIPTION = 0x0002,
        CODE_PUBLISH = 0x0003,           // also the server's simulator update
        CODE_INPUT_UNSUBSCRIPTION = 0x0004,
        CODE_OUTPUT_UNSUBSCRIPTION = 0x0005,
        CODE_VERSION_REQUEST = 0x0006,
        CODE_SUBSCRIBE_RESPONSE = 0x0101,
        CODE_PUBLISH_RESPONSE = 0x0102,
        CODE_VERSION_RESPONSE = 0x0106
    };
    static const unsigned PROTOCOL = 4;
    static const unsigned SUBPROTOCOL = 2;
    static const unsigned MAX_SIMULATOR_ID = 0x7FFF;

    SimulatorProtocol(unsigned simulatorId, unsigned options);
    ~SimulatorProtocol() override;

    void handleReceivedMessage(const RawMessage& message) override;
    CSClient::Result requestSimulatorVersion() override;
    CSClient::Result sendInputSubscriptionRequest(const std::vector<InputParameterEntry*>& entries) override;
    CSClient::Result sendInputUnsubscriptionRequest(const std::vector<InputParameterEntry*>& entries) override;
    CSClient::Result sendOutputSubscriptionRequest(const std::vector<OutputParameterEntry*>& entries) override;
    CSClient::Result sendOutputUnsubscriptionRequest(const std::vector<OutputParameterEntry*>& entries) override;
    CSClient::Result sendParameterPublishRequest(const std::vector<OutputParameterEntry*>& entries,
                                                 PublishMode mode) override;

    unsigned getSimulatorId() const { return simulatorId.load(); }
    // Ids above 0x7FFF are refused with RESULT_INVALID.
    CSClient::Result setSimulatorId(unsigned id);

private:
    void handleSubscribeResponse(const RawMessage& message);
    void handlePublishResponse(const RawMessage& message);
    void handleSimulatorUpdate(const RawMessage& message);
    void handleVersionResponse(const RawMessage& message);
    unsigned simulatorWord() const { return getSimulatorId() << 16; }
    // Requests that the registry keeps report "not connected" as done.
    static CSClient::Result keptForLater(CSClient::Result r) {
        return r == CSClient::RESULT_NOT_CONNECTED ? CSClient::RESULT_OK : r;
    }

    std::atomic<unsigned> simulatorId;
};

}  // namespace com_vela

#endif
