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
    // The simulator word carries the simulator id in its upper half.
    static const unsigned SIMULATOR_ID_SHIFT = 16;

    // ---- Wire layouts: offsets from the start of the body (message header
    // included); ENTRY_* offsets count from the start of an entry. Names take
    // NAME_FIELD_SIZE bytes.
    // Every request carries the simulator word here.
    static const unsigned SIMULATOR_WORD = 12;
    // 0x0001: entries of rate, rate again, is-integer, name.
    struct InputSubscription {
        static constexpr unsigned COUNT = 16, ENTRIES = 20, ENTRY_SIZE = 44;
        static constexpr unsigned ENTRY_RATE = 0, ENTRY_RATE_AGAIN = 4, ENTRY_IS_INT = 8, ENTRY_NAME = 12;
    };
    // 0x0002: entries of the constant word, is-integer, name.
    struct OutputSubscription {
        static constexpr unsigned COUNT = 16, ENTRIES = 20, ENTRY_SIZE = 40;
        static constexpr unsigned ENTRY_CONSTANT = 0, ENTRY_IS_INT = 4, ENTRY_NAME = 8;
        static constexpr unsigned CONSTANT = 1200;
    };
    // 0x0004 and 0x0005: server ids.
    struct Unsubscription {
        static constexpr unsigned COUNT = 16, ENTRIES = 20, ENTRY_SIZE = 4;
    };
    // 0x0003 both ways: publish request and simulator update. Value kind:
    // non-zero integer, zero float.
    struct Publish {
        static constexpr unsigned MODE = 16, COUNT = 20, ENTRIES = 24, ENTRY_SIZE = 12;
        static constexpr unsigned ENTRY_ID = 0, ENTRY_KIND = 4, ENTRY_VALUE = 8;
    };
    // 0x0006: the simulator word and a zero word.
    struct VersionRequest {
        static constexpr unsigned SIZE = 20;
    };
    // 0x0101: server id, 8 bytes not read, is-integer, value, name.
    struct SubscribeResponse {
        static constexpr unsigned COUNT = 16, ENTRIES = 20, ENTRY_SIZE = 52;
        static constexpr unsigned ENTRY_ID = 0, ENTRY_IS_INT = 12, ENTRY_VALUE = 16, ENTRY_NAME = 20;
    };
    // 0x0102: server id, 12 bytes not read, name.
    struct PublishResponse {
        static constexpr unsigned COUNT = 16, ENTRIES = 20, ENTRY_SIZE = 48;
        static constexpr unsigned ENTRY_ID = 0, ENTRY_NAME = 16;
    };
    // 0x0106: the server's simulator word at SIMULATOR_WORD.
    struct VersionResponse {
        static constexpr unsigned TEXT = 16, TEXT_SIZE = 128, PROTOCOL_VERSION = 144, STATUS = 148, SIZE = 152;
        static constexpr unsigned STATUS_VALID = 1;
    };

    SimulatorProtocol(unsigned simulatorId, unsigned options, const Timing& timing = Timing());
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
    void handleSimulatorUpdate(const RawMessage& message);
    void handleVersionResponse(const RawMessage& message);
    unsigned simulatorWord() const { return getSimulatorId() << SIMULATOR_ID_SHIFT; }

    std::atomic<unsigned> simulatorId;
};

}  // namespace com_vela

#endif
