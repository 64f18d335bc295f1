#include "SimulatorProtocol.h"

#include "Log.h"
#include "ProtocolHelpers.h"

namespace com_vela {

using namespace protocol_helpers;

namespace {

#define SIM_HEADER(code) {4, 2, 0x7F, 0xFF, 0, 0, 0, 0, 0x00, 0x7F, 0x00, code}

unsigned isIntWord(CSClient::ParameterType type) { return type == CSClient::PARAMETER_TYPE_INT ? 1u : 0u; }

// A value of a subscribe response or an update: integer when its kind word
// is non-zero, else float.
CSClient::Parameter valueOf(const RawMessage& m, const std::string& name, unsigned kindAt, unsigned valueAt) {
    return m.getDoubleWord(kindAt) != 0 ? CSClient::Parameter::makeInt(name, m.getInt(valueAt))
                                        : CSClient::Parameter::makeFloat(name, m.getFloat(valueAt));
}

}  // namespace

SimulatorProtocol::SimulatorProtocol(unsigned id, unsigned options, const Timing& timing)
    : CSClientProtocol(options, timing), simulatorId(id) {}

SimulatorProtocol::~SimulatorProtocol() {}

CSClient::Result SimulatorProtocol::setSimulatorId(unsigned id) {
    if (id > MAX_SIMULATOR_ID) return CSClient::RESULT_INVALID;
    simulatorId = id;
    return CSClient::RESULT_OK;
}

CSClient::Result SimulatorProtocol::requestSimulatorVersion() {
    static const unsigned char sPubHeader[12] = SIM_HEADER(0x02);
    RawMessage m = beginMessage(sPubHeader, CODE_VERSION_REQUEST);
    m.write(simulatorWord());
    m.write(0u);
    return sendMessage(m);
}

CSClient::Result SimulatorProtocol::sendInputSubscriptionRequest(const std::vector<InputParameterEntry*>& entries) {
    if (entries.empty()) return CSClient::RESULT_OK;
    static const unsigned char sSubHeader[12] = SIM_HEADER(0x01);
    RawMessage m = beginMessage(sSubHeader, CODE_INPUT_SUBSCRIPTION);
    m.write(simulatorWord());
    m.write(static_cast<unsigned>(entries.size()));
    for (const auto* e : entries) {
        unsigned rate = rateWord(e->updateRate);
        m.write(rate);
        m.write(rate);
        m.write(isIntWord(e->type));
        writeName(m, e->id, NAME_FIELD_SIZE);
    }
    return keptForLater(sendMessage(m));
}

CSClient::Result SimulatorProtocol::sendOutputSubscriptionRequest(const std::vector<OutputParameterEntry*>& entries) {
    if (entries.empty()) return CSClient::RESULT_OK;
    static const unsigned char sPubHeader[12] = SIM_HEADER(0x02);
    RawMessage m = beginMessage(sPubHeader, CODE_OUTPUT_SUBSCRIPTION);
    m.write(simulatorWord());
    m.write(static_cast<unsigned>(entries.size()));
    for (const auto* e : entries) {
        m.write(OutputSubscription::CONSTANT);
        m.write(isIntWord(e->type));
        writeName(m, e->id, NAME_FIELD_SIZE);
    }
    return keptForLater(sendMessage(m));
}

static const unsigned char sUnregisterHeader[12] = SIM_HEADER(0x04);

CSClient::Result SimulatorProtocol::sendInputUnsubscriptionRequest(const std::vector<InputParameterEntry*>& entries) {
    if (entries.empty()) return CSClient::RESULT_OK;
    return keptForLater(
        sendMessage(serverIdList(sUnregisterHeader, CODE_INPUT_UNSUBSCRIPTION, simulatorWord(), entries)));
}

CSClient::Result SimulatorProtocol::sendOutputUnsubscriptionRequest(const std::vector<OutputParameterEntry*>& entries) {
    if (entries.empty()) return CSClient::RESULT_OK;
    return keptForLater(
        sendMessage(serverIdList(sUnregisterHeader, CODE_OUTPUT_UNSUBSCRIPTION, simulatorWord(), entries)));
}

CSClient::Result SimulatorProtocol::sendParameterPublishRequest(const std::vector<OutputParameterEntry*>& entries,
                                                               PublishMode mode) {
    // An output without a server id yet is not sent: the server could not
    // place it, and its value goes out once the publish response confirms it.
    std::vector<const OutputParameterEntry*> confirmed;
    for (const auto* e : entries)
        if (e->serverId != UNCONFIRMED_SERVER_ID) confirmed.push_back(e);
    if (confirmed.empty()) return CSClient::RESULT_OK;
    static const unsigned char sUpdateHeader[12] = SIM_HEADER(0x03);
    RawMessage m = beginMessage(sUpdateHeader, CODE_PUBLISH);
    m.write(simulatorWord());
    m.write(static_cast<unsigned>(mode));
    m.write(static_cast<unsigned>(confirmed.size()));
    for (const auto* e : confirmed) {
        m.write(e->serverId);
        if (e->type == CSClient::PARAMETER_TYPE_INT) {
            if (!isQuiet()) snlog::out() << "Publish int parameter " << e->id << "=" << e->value.intValue;
            m.write(1u);
            m.write(e->value.intValue);
        } else if (e->type == CSClient::PARAMETER_TYPE_FLOAT) {
            if (!isQuiet()) snlog::out() << "Publish float parameter " << e->id << "=" << e->value.floatValue;
            m.write(0u);
            m.write(e->value.floatValue);
        } else {
            snlog::err() << "Unable to publish output " << e->id << ", type is INVALID!";
            m.write(0u);
            m.write(0.0f);
        }
    }
    return keptForLater(sendMessage(m));
}

void SimulatorProtocol::handleReceivedMessage(const RawMessage& message) {
    if (message.getProtocol() != int(PROTOCOL) || message.getSubprotocol() != int(SUBPROTOCOL) ||
        message.getSize() < MESSAGE_HEADER_SIZE)
        return;
    static const ResponseLayout sSubscribed = {SubscribeResponse::COUNT, SubscribeResponse::ENTRIES,
                                               SubscribeResponse::ENTRY_SIZE, SubscribeResponse::ENTRY_ID,
                                               SubscribeResponse::ENTRY_NAME};
    static const ResponseLayout sPublished = {PublishResponse::COUNT, PublishResponse::ENTRIES,
                                              PublishResponse::ENTRY_SIZE, PublishResponse::ENTRY_ID,
                                              PublishResponse::ENTRY_NAME};
    switch (message.getWord(MESSAGE_CODE_OFFSET)) {
    case CODE_PUBLISH_RESPONSE:
        // The SIM protocol re-sends every last value plainly, overrides too.
        confirmOutputs(message, sPublished, "SE", false);
        break;
    case CODE_SUBSCRIBE_RESPONSE:
        confirmInputs(message, sSubscribed, "SE",
                      [](const RawMessage& m, unsigned at, const InputParameterEntry& e, CSClient::Parameter& out) {
                          out = valueOf(m, e.id, at + SubscribeResponse::ENTRY_IS_INT,
                                        at + SubscribeResponse::ENTRY_VALUE);
                          return true;
                      });
        break;
    case CODE_PUBLISH: handleSimulatorUpdate(message); break;
    case CODE_VERSION_RESPONSE: handleVersionResponse(message); break;
    default: break;
    }
}

void SimulatorProtocol::handleSimulatorUpdate(const RawMessage& message) {
    const unsigned n =
        entriesInBody(message, Publish::ENTRIES, Publish::ENTRY_SIZE, message.getDoubleWord(Publish::COUNT));
    if (n == 0) return;
    std::vector<CSClient::Parameter> values;
    values.reserve(n);
    {
        RegistryGuard guard(*this);
        for (unsigned i = 0; i < n; ++i) {
            const unsigned at = Publish::ENTRIES + i * Publish::ENTRY_SIZE;
            const unsigned id = message.getDoubleWord(at + Publish::ENTRY_ID);
            if (id == 0) continue;  // an empty entry
            auto it = inputIdsToNames.find(id);
            if (it == inputIdsToNames.end()) continue;
            values.push_back(valueOf(message, it->second, at + Publish::ENTRY_KIND, at + Publish::ENTRY_VALUE));
        }
    }
    deliverParameters(values);
}

void SimulatorProtocol::handleVersionResponse(const RawMessage& message) {
    if (message.getDoubleWord(VersionResponse::STATUS) != VersionResponse::STATUS_VALID) return;
    std::string version = readName(message, VersionResponse::TEXT, VersionResponse::TEXT_SIZE);
    setServerVersion(version);
    unsigned serverSimulatorId = message.getDoubleWord(SIMULATOR_WORD) >> SIMULATOR_ID_SHIFT;
    if (serverSimulatorId != getSimulatorId()) {
        if (!isQuiet())
            snlog::out() << "Simulator ID is now " << serverSimulatorId << " -> reconnecting under the new id";
        setSimulatorId(serverSimulatorId);  // refused above 0x7FFF: the old id stays
        reregisterAllInputParameters();
        reregisterAllOutputParameters();
    }
    unsigned protocolVersion = message.getDoubleWord(VersionResponse::PROTOCOL_VERSION);
    setProtocolVersion(protocolVersion);
    if (!isQuiet()) {
        snlog::out() << "Found server version: " << version;
        snlog::out() << "Found simulator id: " << serverSimulatorId;
        snlog::out() << "Found protocol version: " << protocolVersion;
    }
}

}  // namespace com_vela
