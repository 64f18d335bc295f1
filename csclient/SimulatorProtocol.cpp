#include "SimulatorProtocol.h"

#include "ProtocolHelpers.h"

#include <iostream>

namespace com_vela {

using namespace protocol_helpers;

namespace {

#define SIM_HEADER(code) {4, 2, 0x7F, 0xFF, 0, 0, 0, 0, 0x00, 0x7F, 0x00, code}

void callRegistrationComplete(const std::set<CSClient::CallbackIface*>& set,
                              const std::vector<CSClient::InputDef>& defs,
                              const std::vector<CSClient::Parameter>& values) {
    for (auto* cb : set) {
        cb->registrationComplete(defs);
        cb->parametersUpdated(values);
    }
}

}  // namespace

SimulatorProtocol::SimulatorProtocol(unsigned id, unsigned options) : CSClientProtocol(options), simulatorId(id) {}

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
        m.write(e->type == CSClient::PARAMETER_TYPE_INT ? 1u : 0u);
        writeName(m, e->id);
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
        m.write(1200u);
        m.write(e->type == CSClient::PARAMETER_TYPE_INT ? 1u : 0u);
        writeName(m, e->id);
    }
    return keptForLater(sendMessage(m));
}

CSClient::Result SimulatorProtocol::sendInputUnsubscriptionRequest(const std::vector<InputParameterEntry*>& entries) {
    if (entries.empty()) return CSClient::RESULT_OK;
    static const unsigned char sUnregisterHeader[12] = SIM_HEADER(0x04);
    RawMessage m = beginMessage(sUnregisterHeader, CODE_INPUT_UNSUBSCRIPTION);
    m.write(simulatorWord());
    m.write(static_cast<unsigned>(entries.size()));
    for (const auto* e : entries) m.write(e->serverId);
    return keptForLater(sendMessage(m));
}

CSClient::Result SimulatorProtocol::sendOutputUnsubscriptionRequest(const std::vector<OutputParameterEntry*>& entries) {
    if (entries.empty()) return CSClient::RESULT_OK;
    static const unsigned char sUnregisterHeader[12] = SIM_HEADER(0x04);
    RawMessage m = beginMessage(sUnregisterHeader, CODE_OUTPUT_UNSUBSCRIPTION);
    m.write(simulatorWord());
    m.write(static_cast<unsigned>(entries.size()));
    for (const auto* e : entries) m.write(e->serverId);
    return keptForLater(sendMessage(m));
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
            if (!isQuiet()) std::cout << "Publish int parameter " << e->id << "=" << e->value.intValue << std::endl;
            m.write(1u);
            m.write(e->value.intValue);
        } else if (e->type == CSClient::PARAMETER_TYPE_FLOAT) {
            if (!isQuiet()) std::cout << "Publish float parameter " << e->id << "=" << e->value.floatValue << std::endl;
            m.write(0u);
            m.write(e->value.floatValue);
        } else {
            std::cerr << "Unable to publish output " << e->id << ", type is INVALID!" << std::endl;
            m.write(0u);
            m.write(0.0f);
        }
    }
    return keptForLater(sendMessage(m));
}

void SimulatorProtocol::handleReceivedMessage(const RawMessage& message) {
    if (message.getProtocol() != int(PROTOCOL) || message.getSubprotocol() != int(SUBPROTOCOL) ||
        message.getSize() < 12)
        return;
    switch (message.getWord(10)) {
    case CODE_PUBLISH_RESPONSE: handlePublishResponse(message); break;
    case CODE_SUBSCRIBE_RESPONSE: handleSubscribeResponse(message); break;
    case CODE_PUBLISH: handleSimulatorUpdate(message); break;
    case CODE_VERSION_RESPONSE: handleVersionResponse(message); break;
    default: break;
    }
}

void SimulatorProtocol::handleSubscribeResponse(const RawMessage& message) {
    const unsigned kEntry = 52;
    std::vector<CSClient::InputDef> defs;
    std::vector<CSClient::Parameter> values;
    {
        CSLockGuard guard(registryLock);
        unsigned n = entriesInBody(message, 20, kEntry, message.getDoubleWord(16));
        for (unsigned i = 0; i < n; ++i) {
            unsigned off = 20 + i * kEntry;
            std::string name = readName(message, off + 20);
            auto it = inputsByName.find(name);
            if (it == inputsByName.end()) continue;
            unsigned id = message.getDoubleWord(off);
            if (!isQuiet()) std::cout << "Successful registration of SE input " << name << " as ID " << id << std::endl;
            InputParameterEntry* e = it->second;
            adoptInputServerId(e, id);
            defs.push_back(CSClient::InputDef{e->id, e->type, e->updateRate});
            bool isInt = message.getDoubleWord(off + 12) != 0;
            values.push_back(isInt ? CSClient::Parameter::makeInt(name, message.getInt(off + 16))
                                   : CSClient::Parameter::makeFloat(name, message.getFloat(off + 16)));
        }
    }
    std::set<CSClient::CallbackIface*> set;
    getCallbackInterfaces(set);
    callRegistrationComplete(set, defs, values);
}

void SimulatorProtocol::handlePublishResponse(const RawMessage& message) {
    const unsigned kEntry = 48;
    std::vector<CSClient::OutputDef> defs;
    std::vector<std::string> resend;
    {
        CSLockGuard guard(registryLock);
        unsigned n = entriesInBody(message, 20, kEntry, message.getDoubleWord(16));
        for (unsigned i = 0; i < n; ++i) {
            unsigned off = 20 + i * kEntry;
            unsigned id = message.getDoubleWord(off);
            std::string name = readName(message, off + 16);
            auto it = outputsByName.find(name);
            if (it == outputsByName.end()) {
                std::cerr << "Parameter not found: " << name << "(" << id << ")" << std::endl;
                continue;
            }
            if (!isQuiet()) std::cout << "Successful registration of SE output " << name << " as ID " << id << std::endl;
            OutputParameterEntry* e = it->second;
            adoptOutputServerId(e, id);
            defs.push_back(CSClient::OutputDef{e->id, e->type});
            if (e->hasValue) resend.push_back(name);
        }
    }
    std::set<CSClient::CallbackIface*> set;
    getCallbackInterfaces(set);
    for (auto* cb : set) cb->registrationComplete(defs);
    if (resend.empty()) return;
    // The entries are looked up again: another thread may have unregistered
    // one while the callbacks ran.
    CSLockGuard guard(registryLock);
    std::vector<OutputParameterEntry*> list;
    for (const auto& name : resend) {
        auto it = outputsByName.find(name);
        if (it != outputsByName.end() && it->second->hasValue) list.push_back(it->second);
    }
    sendParameterPublishRequest(list, PUBLISH_PLAIN);
}

void SimulatorProtocol::handleSimulatorUpdate(const RawMessage& message) {
    const unsigned kEntry = 12;
    unsigned n = entriesInBody(message, 24, kEntry, message.getDoubleWord(20));
    if (n == 0) return;
    std::vector<CSClient::Parameter> values;
    values.reserve(n);
    {
        CSLockGuard guard(registryLock);
        for (unsigned i = 0; i < n; ++i) {
            unsigned off = 24 + i * kEntry;
            unsigned id = message.getDoubleWord(off);
            if (id == 0) continue;
            auto it = inputIdsToNames.find(id);
            if (it == inputIdsToNames.end()) continue;
            bool isInt = message.getDoubleWord(off + 4) != 0;
            values.push_back(isInt ? CSClient::Parameter::makeInt(it->second, message.getInt(off + 8))
                                   : CSClient::Parameter::makeFloat(it->second, message.getFloat(off + 8)));
        }
    }
    if (values.empty()) return;
    std::set<CSClient::CallbackIface*> set;
    getCallbackInterfaces(set);
    for (auto* cb : set) cb->parametersUpdated(values);
}

void SimulatorProtocol::handleVersionResponse(const RawMessage& message) {
    if (message.getDoubleWord(148) != 1) return;
    std::string version = readName(message, 16, 128);
    setServerVersion(version);
    unsigned serverSimulatorId = message.getDoubleWord(12) >> 16;
    if (serverSimulatorId != getSimulatorId()) {
        if (!isQuiet())
            std::cout << "Simulator ID is now " << serverSimulatorId << " -> reconnecting under the new id" << std::endl;
        setSimulatorId(serverSimulatorId);  // refused above 0x7FFF: the old id stays
        reregisterAllInputParameters();
        reregisterAllOutputParameters();
    }
    unsigned protocolVersion = message.getDoubleWord(144);
    setProtocolVersion(protocolVersion);
    if (!isQuiet()) {
        std::cout << "Found server version: " << version << std::endl;
        std::cout << "Found simulator id: " << serverSimulatorId << std::endl;
        std::cout << "Found protocol version: " << protocolVersion << std::endl;
    }
}

}  // namespace com_vela
