// Parameter registry of CSClientProtocol: the four tables behind the
// client's subscriptions (inputs) and publications (outputs).
#include "CSClientProtocol.h"

#include <iostream>

namespace com_vela {

namespace {

const unsigned ID_FIELD_SIZE = CSClientProtocol::MAX_PARAMETER_ID_LENGTH + 1;

template <typename Def>
bool repeatedLater(const Def* defs, unsigned count, unsigned i)
{
    for (unsigned j = i + 1; j < count; ++j)
        if (defs[j].id == defs[i].id)
            return true;
    return false;
}

// Removes every id mapping to `entry` (an output confirmed under several ids
// over reconnections appears more than once).
void eraseOutputIds(std::map<unsigned, CSClientProtocol::OutputParameterEntry*>& byId,
                    const CSClientProtocol::OutputParameterEntry* entry)
{
    for (auto it = byId.begin(); it != byId.end();) {
        if (it->second == entry)
            it = byId.erase(it);
        else
            ++it;
    }
}

void eraseInputId(std::map<unsigned, std::string>& idsToNames, const CSClientProtocol::InputParameterEntry* entry)
{
    for (auto it = idsToNames.begin(); it != idsToNames.end();) {
        if (it->second == entry->id)
            it = idsToNames.erase(it);
        else
            ++it;
    }
}

} // namespace

CSClient::Parameter CSClientProtocol::toParameter(const OutputParameterEntry& entry)
{
    CSClient::Parameter p;
    p.id = entry.id;
    p.value = entry.value;
    p.type = entry.type == CSClient::PARAMETER_TYPE_INT ? CSClient::PARAMETER_TYPE_INT : CSClient::PARAMETER_TYPE_FLOAT;
    p.override = entry.override;
    return p;
}

CSClient::Result CSClientProtocol::registerInputParameters(const CSClient::InputDef* defs, unsigned count)
{
    if (count == 0 || !defs)
        return CSClient::RESULT_OK;
    CSLockGuard g(registryLock);
    // The whole call is checked before anything is added, so a refused call
    // leaves no half-registered definitions behind.
    for (unsigned i = 0; i < count; ++i) {
        const CSClient::InputDef& d = defs[i];
        if (d.type == CSClient::PARAMETER_TYPE_INVALID) {
            std::cerr << "Subscription type of parameter id string '" << d.id << "' is invalid!" << std::endl;
            return CSClient::RESULT_INVALID;
        }
        if (d.id.size() >= ID_FIELD_SIZE) {
            std::cerr << "Length of parameter id string '" << d.id << "' exceeds maximum " << ID_FIELD_SIZE
                      << std::endl;
            return CSClient::RESULT_INVALID;
        }
        if (inputsByName.count(d.id)) {
            std::cerr << "Parameter '" << d.id << "' already registered." << std::endl;
            return CSClient::RESULT_INVALID;
        }
        if (repeatedLater(defs, count, i)) {
            std::cerr << "Parameter '" << d.id << "' is requested more than once in the same subscription call."
                      << std::endl;
            return CSClient::RESULT_INVALID;
        }
    }
    std::vector<InputParameterEntry*> list;
    for (unsigned i = 0; i < count; ++i) {
        InputParameterEntry* e = new InputParameterEntry;
        e->id = defs[i].id;
        e->type = defs[i].type;
        e->updateRate = defs[i].updateRate;
        e->serverId = UNCONFIRMED_SERVER_ID;
        inputsByName[e->id] = e;
        list.push_back(e);
    }
    return sendInputSubscriptionRequest(list);
}

CSClient::Result CSClientProtocol::registerOutputParameters(const CSClient::OutputDef* defs, unsigned count)
{
    if (count == 0 || !defs)
        return CSClient::RESULT_OK;
    CSLockGuard g(registryLock);
    for (unsigned i = 0; i < count; ++i) {
        const CSClient::OutputDef& d = defs[i];
        if (d.type == CSClient::PARAMETER_TYPE_INVALID) {
            std::cerr << "Invalid parameter type for output id string '" << d.id << "'!" << std::endl;
            return CSClient::RESULT_INVALID;
        }
        if (d.id.size() >= ID_FIELD_SIZE) {
            if (!isQuiet())
                std::cerr << "Length of parameter id string '" << d.id << "' exceeds maximum " << ID_FIELD_SIZE
                          << std::endl;
            return CSClient::RESULT_INVALID;
        }
        if (outputsByName.count(d.id)) {
            std::cerr << "Parameter '" << d.id << "' already registered." << std::endl;
            return CSClient::RESULT_INVALID;
        }
        if (repeatedLater(defs, count, i)) {
            std::cerr << "Parameter '" << d.id << "' is requested more than once in the same subscription call."
                      << std::endl;
            return CSClient::RESULT_INVALID;
        }
    }
    std::vector<OutputParameterEntry*> list;
    for (unsigned i = 0; i < count; ++i) {
        OutputParameterEntry* e = new OutputParameterEntry;
        e->id = defs[i].id;
        e->type = defs[i].type;
        outputsByName[e->id] = e;
        list.push_back(e);
    }
    return sendOutputSubscriptionRequest(list);
}

CSClient::Result CSClientProtocol::unregisterInputParameters(const std::vector<std::string>& names)
{
    if (names.empty())
        return CSClient::RESULT_OK;
    // The request is sent without the registry lock, so it works on copies:
    // another thread may replace the entries meanwhile (re-registration).
    std::vector<InputParameterEntry> found;
    {
        CSLockGuard g(registryLock);
        for (const std::string& id : names) {
            auto it = inputsByName.find(id);
            if (it == inputsByName.end())
                continue;
            bool seen = false;
            for (const InputParameterEntry& f : found)
                seen = seen || f.id == id;
            if (!seen)
                found.push_back(*it->second);
        }
    }
    if (found.empty())
        return CSClient::RESULT_OK;
    std::vector<InputParameterEntry*> registered;
    for (InputParameterEntry& e : found)
        if (e.serverId != UNCONFIRMED_SERVER_ID)
            registered.push_back(&e);
    sendInputUnsubscriptionRequest(registered);

    CSLockGuard g(registryLock);
    for (const InputParameterEntry& f : found) {
        auto it = inputsByName.find(f.id);
        if (it == inputsByName.end())
            continue;
        eraseInputId(inputIdsToNames, it->second);
        delete it->second;
        inputsByName.erase(it);
    }
    return CSClient::RESULT_OK;
}

CSClient::Result CSClientProtocol::unregisterOutputParameters(const std::vector<std::string>& names)
{
    if (names.empty())
        return CSClient::RESULT_OK;
    std::vector<OutputParameterEntry> found;
    {
        CSLockGuard g(registryLock);
        for (const std::string& id : names) {
            auto it = outputsByName.find(id);
            if (it == outputsByName.end())
                continue;
            bool seen = false;
            for (const OutputParameterEntry& f : found)
                seen = seen || f.id == id;
            if (!seen)
                found.push_back(*it->second);
        }
    }
    if (found.empty())
        return CSClient::RESULT_OK;
    std::vector<OutputParameterEntry*> registered;
    for (OutputParameterEntry& e : found)
        if (e.serverId != UNCONFIRMED_SERVER_ID)
            registered.push_back(&e);
    sendOutputUnsubscriptionRequest(registered);

    CSLockGuard g(registryLock);
    for (const OutputParameterEntry& f : found) {
        auto it = outputsByName.find(f.id);
        if (it == outputsByName.end())
            continue;
        eraseOutputIds(outputsById, it->second);
        delete it->second;
        outputsByName.erase(it);
    }
    return CSClient::RESULT_OK;
}

CSClient::Result CSClientProtocol::unregisterAllInputParameters()
{
    std::vector<std::string> ids;
    {
        CSLockGuard g(registryLock);
        for (const auto& kv : inputsByName)
            ids.push_back(kv.first);
    }
    return unregisterInputParameters(ids);
}

CSClient::Result CSClientProtocol::unregisterAllOutputParameters()
{
    std::vector<std::string> ids;
    {
        CSLockGuard g(registryLock);
        for (const auto& kv : outputsByName)
            ids.push_back(kv.first);
    }
    return unregisterOutputParameters(ids);
}

void CSClientProtocol::reregisterAllInputParameters()
{
    std::vector<CSClient::InputDef> defs;
    {
        CSLockGuard g(registryLock);
        if (inputsByName.empty())
            return;
        if (!isQuiet())
            std::cout << "Registering " << inputsByName.size() << " input parameters with server..." << std::endl;
        for (const auto& kv : inputsByName) {
            CSClient::InputDef d;
            d.id = kv.second->id;
            d.type = kv.second->type;
            d.updateRate = kv.second->updateRate;
            defs.push_back(d);
            delete kv.second;
        }
        inputsByName.clear();
        inputIdsToNames.clear();
    }
    registerInputParameters(defs.data(), static_cast<unsigned>(defs.size()));
}

void CSClientProtocol::reregisterAllOutputParameters()
{
    CSLockGuard g(registryLock);
    if (outputsByName.empty())
        return;
    if (!isQuiet())
        std::cout << "Registering " << outputsByName.size() << " output parameters with server..." << std::endl;
    std::vector<OutputParameterEntry*> list;
    for (const auto& kv : outputsByName)
        list.push_back(kv.second);
    sendOutputSubscriptionRequest(list);
}

CSClient::Result CSClientProtocol::publishParameters(const CSClient::Parameter* parameters, unsigned count,
                                                     PublishMode mode)
{
    if (count == 0 || !parameters)
        return CSClient::RESULT_OK;
    CSLockGuard g(registryLock);
    for (unsigned i = 0; i < count; ++i) {
        const CSClient::Parameter& p = parameters[i];
        if (p.type == CSClient::PARAMETER_TYPE_INVALID) {
            std::cerr << "Subscription type of parameter id string '" << p.id << "' is invalid!" << std::endl;
            return CSClient::RESULT_INVALID;
        }
        if (p.id.size() >= ID_FIELD_SIZE) {
            std::cerr << "Length of parameter id string '" << p.id << "' exceeds maximum " << ID_FIELD_SIZE
                      << std::endl;
            return CSClient::RESULT_INVALID;
        }
        if (!outputsByName.count(p.id)) {
            std::cerr << "Unknown parameter ID: " << p.id << std::endl;
            return CSClient::RESULT_INVALID;
        }
    }
    std::vector<OutputParameterEntry*> list;
    for (unsigned i = 0; i < count; ++i) {
        OutputParameterEntry* e = outputsByName[parameters[i].id];
        e->value = parameters[i].value;
        e->hasValue = true;
        e->override = (static_cast<unsigned>(parameters[i].override) & 1u) != 0;
        list.push_back(e);
    }
    return sendParameterPublishRequest(list, mode);
}

bool CSClientProtocol::findPublishedParameter(const std::string& id, CSClient::Parameter& out) const
{
    CSLockGuard g(registryLock);
    auto it = outputsByName.find(id);
    if (it == outputsByName.end())
        return false;
    out = toParameter(*it->second);
    return true;
}

void CSClientProtocol::getAllPublishedParameters(std::vector<CSClient::Parameter>& out) const
{
    CSLockGuard g(registryLock);
    for (const auto& kv : outputsByName)
        out.push_back(toParameter(*kv.second));
}

bool CSClientProtocol::hasInputParameter(const std::string& id, bool registeredOnly) const
{
    CSLockGuard g(registryLock);
    auto it = inputsByName.find(id);
    return it != inputsByName.end() && (!registeredOnly || it->second->serverId != UNCONFIRMED_SERVER_ID);
}

bool CSClientProtocol::hasOutputParameter(const std::string& id, bool registeredOnly) const
{
    CSLockGuard g(registryLock);
    auto it = outputsByName.find(id);
    return it != outputsByName.end() && (!registeredOnly || it->second->serverId != UNCONFIRMED_SERVER_ID);
}

unsigned CSClientProtocol::getNumberOfInputParameters(bool registeredOnly) const
{
    CSLockGuard g(registryLock);
    return static_cast<unsigned>(registeredOnly ? inputIdsToNames.size() : inputsByName.size());
}

unsigned CSClientProtocol::getNumberOfOutputParameters(bool registeredOnly) const
{
    CSLockGuard g(registryLock);
    return static_cast<unsigned>(registeredOnly ? outputsById.size() : outputsByName.size());
}

unsigned CSClientProtocol::getNumberOfInputParametersWaitingForConfirmation() const
{
    CSLockGuard g(registryLock);
    size_t total = inputsByName.size(), registered = inputIdsToNames.size();
    return static_cast<unsigned>(total > registered ? total - registered : 0);
}

unsigned CSClientProtocol::getNumberOfOutputParametersWaitingForConfirmation() const
{
    CSLockGuard g(registryLock);
    size_t total = outputsByName.size(), registered = outputsById.size();
    return static_cast<unsigned>(total > registered ? total - registered : 0);
}

void CSClientProtocol::unregisterAllLocalParameters()
{
    CSLockGuard g(registryLock);
    for (auto& kv : inputsByName)
        delete kv.second;
    for (auto& kv : outputsByName)
        delete kv.second;
    inputsByName.clear();
    inputIdsToNames.clear();
    outputsByName.clear();
    outputsById.clear();
}

void CSClientProtocol::adoptInputServerId(InputParameterEntry* entry, unsigned serverId)
{
    if (entry->serverId != UNCONFIRMED_SERVER_ID && entry->serverId != serverId)
        inputIdsToNames.erase(entry->serverId);
    entry->serverId = serverId;
    inputIdsToNames[serverId] = entry->id;
}

void CSClientProtocol::adoptOutputServerId(OutputParameterEntry* entry, unsigned serverId)
{
    if (entry->serverId != UNCONFIRMED_SERVER_ID && entry->serverId != serverId) {
        auto old = outputsById.find(entry->serverId);
        if (old != outputsById.end() && old->second == entry)
            outputsById.erase(old);
    }
    entry->serverId = serverId;
    outputsById[serverId] = entry;
}

} // namespace com_vela
