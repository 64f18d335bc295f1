// Parameter registry of CSClientProtocol: the four tables behind the
// client's subscriptions (inputs) and publications (outputs).
#include "CSClientProtocol.h"

#include "Log.h"
#include "ProtocolHelpers.h"

namespace com_vela {

namespace {

const unsigned ID_FIELD_SIZE = CSClientProtocol::NAME_FIELD_SIZE;

template <typename Def>
bool repeatedLater(const Def* defs, unsigned count, unsigned i)
{
    for (unsigned j = i + 1; j < count; ++j)
        if (defs[j].id == defs[i].id)
            return true;
    return false;
}

// Whether an id-table value names `entry`: the input table maps to names,
// the output table to the entries themselves.
bool names(const std::string& name, const CSClientProtocol::InputParameterEntry* entry)
{
    return name == entry->id;
}

bool names(const CSClientProtocol::OutputParameterEntry* value, const CSClientProtocol::OutputParameterEntry* entry)
{
    return value == entry;
}

// Removes every server id mapping to `entry` (a definition confirmed under
// several ids over reconnections appears more than once).
template <typename IdMap, typename Entry>
void eraseIdsOf(IdMap& byId, const Entry* entry)
{
    for (auto it = byId.begin(); it != byId.end();) {
        if (names(it->second, entry))
            it = byId.erase(it);
        else
            ++it;
    }
}

// The checks every registration makes on the whole call before it changes
// anything: "already registered" and "requested more than once".
template <typename Def, typename Table>
bool notYetRegistered(const Def* defs, unsigned count, unsigned i, const Table& byName)
{
    const std::string& id = defs[i].id;
    if (byName.count(id)) {
        snlog::err() << "Parameter '" << id << "' already registered.";
        return false;
    }
    if (repeatedLater(defs, count, i)) {
        snlog::err() << "Parameter '" << id << "' is requested more than once in the same subscription call.";
        return false;
    }
    return true;
}

} // namespace

bool CSClientProtocol::validParameter(const std::string& id, CSClient::ParameterType type)
{
    if (type == CSClient::PARAMETER_TYPE_INVALID) {
        snlog::err() << "Subscription type of parameter id string '" << id << "' is invalid!";
        return false;
    }
    if (id.size() >= ID_FIELD_SIZE) {
        snlog::err() << "Length of parameter id string '" << id << "' exceeds maximum " << ID_FIELD_SIZE;
        return false;
    }
    return true;
}

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
    RegistryGuard g(*this);
    // The whole call is checked before anything is added, so a refused call
    // leaves no half-registered definitions behind.
    for (unsigned i = 0; i < count; ++i)
        if (!validParameter(defs[i].id, defs[i].type) || !notYetRegistered(defs, count, i, inputsByName))
            return CSClient::RESULT_INVALID;
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
    RegistryGuard g(*this);
    for (unsigned i = 0; i < count; ++i) {
        const CSClient::OutputDef& d = defs[i];
        // Outputs have their own type line, and a quiet length check.
        if (d.type == CSClient::PARAMETER_TYPE_INVALID) {
            snlog::err() << "Invalid parameter type for output id string '" << d.id << "'!";
            return CSClient::RESULT_INVALID;
        }
        if (d.id.size() >= ID_FIELD_SIZE) {
            if (!isQuiet())
                snlog::err() << "Length of parameter id string '" << d.id << "' exceeds maximum " << ID_FIELD_SIZE;
            return CSClient::RESULT_INVALID;
        }
        if (!notYetRegistered(defs, count, i, outputsByName))
            return CSClient::RESULT_INVALID;
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

// Unregistration of inputs and outputs alike: the unsubscription request is
// sent without the registry lock, so it works on copies of the entries
// (another thread may replace them meanwhile: re-registration).
template <typename Entry, typename IdMap, typename Send>
void CSClientProtocol::unregisterEntries(const std::vector<std::string>& ids, std::map<std::string, Entry*>& byName,
                                         IdMap& byId, Send send)
{
    std::vector<Entry> found;
    {
        RegistryGuard g(*this);
        for (const std::string& id : ids) {
            auto it = byName.find(id);
            if (it == byName.end())
                continue;
            bool seen = false;
            for (const Entry& f : found)
                seen = seen || f.id == id;
            if (!seen)
                found.push_back(*it->second);
        }
    }
    if (found.empty())
        return;
    std::vector<Entry*> registered;
    for (Entry& e : found)
        if (e.serverId != UNCONFIRMED_SERVER_ID)
            registered.push_back(&e);
    send(registered);

    RegistryGuard g(*this);
    for (const Entry& f : found) {
        auto it = byName.find(f.id);
        if (it == byName.end())
            continue;
        eraseIdsOf(byId, it->second);
        delete it->second;
        byName.erase(it);
    }
}

CSClient::Result CSClientProtocol::unregisterInputParameters(const std::vector<std::string>& ids)
{
    unregisterEntries(ids, inputsByName, inputIdsToNames,
                      [this](const std::vector<InputParameterEntry*>& e) { sendInputUnsubscriptionRequest(e); });
    return CSClient::RESULT_OK;
}

CSClient::Result CSClientProtocol::unregisterOutputParameters(const std::vector<std::string>& ids)
{
    unregisterEntries(ids, outputsByName, outputsById,
                      [this](const std::vector<OutputParameterEntry*>& e) { sendOutputUnsubscriptionRequest(e); });
    return CSClient::RESULT_OK;
}

namespace {
template <typename Table>
std::vector<std::string> idsOf(const Table& byName)
{
    std::vector<std::string> ids;
    for (const auto& kv : byName)
        ids.push_back(kv.first);
    return ids;
}
} // namespace

CSClient::Result CSClientProtocol::unregisterAllInputParameters()
{
    std::vector<std::string> ids;
    {
        RegistryGuard g(*this);
        ids = idsOf(inputsByName);
    }
    return unregisterInputParameters(ids);
}

CSClient::Result CSClientProtocol::unregisterAllOutputParameters()
{
    std::vector<std::string> ids;
    {
        RegistryGuard g(*this);
        ids = idsOf(outputsByName);
    }
    return unregisterOutputParameters(ids);
}

void CSClientProtocol::reregisterAllInputParameters()
{
    std::vector<CSClient::InputDef> defs;
    {
        RegistryGuard g(*this);
        if (inputsByName.empty())
            return;
        if (!isQuiet())
            snlog::out() << "Registering " << inputsByName.size() << " input parameters with server...";
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
    RegistryGuard g(*this);
    if (outputsByName.empty())
        return;
    if (!isQuiet())
        snlog::out() << "Registering " << outputsByName.size() << " output parameters with server...";
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
    RegistryGuard g(*this);
    for (unsigned i = 0; i < count; ++i) {
        const CSClient::Parameter& p = parameters[i];
        if (!validParameter(p.id, p.type))
            return CSClient::RESULT_INVALID;
        if (!outputsByName.count(p.id)) {
            snlog::err() << "Unknown parameter ID: " << p.id;
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

namespace {
template <typename Table>
bool has(const Table& byName, const std::string& id, bool registeredOnly)
{
    auto it = byName.find(id);
    return it != byName.end() &&
           (!registeredOnly || it->second->serverId != CSClientProtocol::UNCONFIRMED_SERVER_ID);
}

unsigned waiting(size_t total, size_t registered)
{
    return static_cast<unsigned>(total > registered ? total - registered : 0);
}
} // namespace

bool CSClientProtocol::hasInputParameter(const std::string& id, bool registeredOnly) const
{
    CSLockGuard g(registryLock);
    return has(inputsByName, id, registeredOnly);
}

bool CSClientProtocol::hasOutputParameter(const std::string& id, bool registeredOnly) const
{
    CSLockGuard g(registryLock);
    return has(outputsByName, id, registeredOnly);
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
    return waiting(inputsByName.size(), inputIdsToNames.size());
}

unsigned CSClientProtocol::getNumberOfOutputParametersWaitingForConfirmation() const
{
    CSLockGuard g(registryLock);
    return waiting(outputsByName.size(), outputsById.size());
}

void CSClientProtocol::unregisterAllLocalParameters()
{
    RegistryGuard g(*this);
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

// ---------------------------------------------------------------- responses

void CSClientProtocol::confirmInputs(const RawMessage& response, const ResponseLayout& layout, const char* label,
                                     const EntryValue& value)
{
    std::vector<CSClient::InputDef> defs;
    std::vector<CSClient::Parameter> values;
    {
        RegistryGuard g(*this);
        const unsigned n = protocol_helpers::entriesInBody(response, layout.firstEntry, layout.entrySize,
                                                           response.getDoubleWord(layout.countOffset));
        for (unsigned i = 0; i < n; ++i) {
            const unsigned at = layout.firstEntry + i * layout.entrySize;
            const std::string name = protocol_helpers::readName(response, at + layout.nameOffset, NAME_FIELD_SIZE);
            auto it = inputsByName.find(name);
            if (it == inputsByName.end())
                continue;
            const unsigned id = response.getDoubleWord(at + layout.idOffset);
            if (!isQuiet())
                snlog::out() << "Successful registration of " << label << " input " << name << " as ID " << id;
            InputParameterEntry* e = it->second;
            adoptInputServerId(e, id);
            defs.push_back(CSClient::InputDef{e->id, e->type, e->updateRate});
            CSClient::Parameter p;
            if (value(response, at, *e, p))
                values.push_back(p);
        }
    }
    std::set<CSClient::CallbackIface*> set;
    getCallbackInterfaces(set);
    for (CSClient::CallbackIface* callback : set) {
        callback->registrationComplete(defs);
        callback->parametersUpdated(values);
    }
}

void CSClientProtocol::confirmOutputs(const RawMessage& response, const ResponseLayout& layout, const char* label,
                                      bool keepOverrides)
{
    std::vector<CSClient::OutputDef> defs;
    std::vector<std::string> plain, overridden;
    {
        RegistryGuard g(*this);
        const unsigned n = protocol_helpers::entriesInBody(response, layout.firstEntry, layout.entrySize,
                                                           response.getDoubleWord(layout.countOffset));
        for (unsigned i = 0; i < n; ++i) {
            const unsigned at = layout.firstEntry + i * layout.entrySize;
            const unsigned id = response.getDoubleWord(at + layout.idOffset);
            const std::string name = protocol_helpers::readName(response, at + layout.nameOffset, NAME_FIELD_SIZE);
            auto it = outputsByName.find(name);
            if (it == outputsByName.end()) {
                snlog::err() << "Parameter not found: " << name << "(" << id << ")";
                continue;
            }
            if (!isQuiet())
                snlog::out() << "Successful registration of " << label << " output " << name << " as ID " << id;
            OutputParameterEntry* e = it->second;
            adoptOutputServerId(e, id);
            defs.push_back(CSClient::OutputDef{e->id, e->type});
            if (e->hasValue)
                (keepOverrides && e->override ? overridden : plain).push_back(name);
        }
    }
    std::set<CSClient::CallbackIface*> set;
    getCallbackInterfaces(set);
    for (CSClient::CallbackIface* callback : set)
        callback->registrationComplete(defs);
    // The entries are looked up again under the lock: another thread may
    // have unregistered one while the callbacks ran.
    auto resend = [this](const std::vector<std::string>& ids, PublishMode mode) {
        if (ids.empty())
            return;
        RegistryGuard g(*this);
        std::vector<OutputParameterEntry*> list;
        for (const std::string& id : ids) {
            auto it = outputsByName.find(id);
            if (it != outputsByName.end() && it->second->hasValue)
                list.push_back(it->second);
        }
        sendParameterPublishRequest(list, mode);
    };
    resend(plain, PUBLISH_PLAIN);
    resend(overridden, PUBLISH_OVERRIDE);
}

void CSClientProtocol::deliverParameters(const std::vector<CSClient::Parameter>& values)
{
    if (values.empty())
        return;
    std::set<CSClient::CallbackIface*> set;
    getCallbackInterfaces(set);
    for (CSClient::CallbackIface* callback : set)
        callback->parametersUpdated(values);
}

} // namespace com_vela
