#include "CSClient.h"

#include "CSClientProtocol.h"
#include "CSCommsInterfaceTCP.h"

#include <chrono>
#include <thread>

namespace com_vela {

// The waits are stated in seconds; they look more often than that
// (timing.facadePollStep) so that they return as soon as the awaited
// condition holds, never later than the stated bound.
template <typename Condition>
bool CSClient::pollFor(std::chrono::milliseconds bound, Condition done) const
{
    const auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(timing.facadePollStep);
    }
}

CSClient::Parameter CSClient::Parameter::makeFloat(const std::string& id, float v, bool override)
{
    Parameter p;
    p.id = id;
    p.value.floatValue = v;
    p.type = PARAMETER_TYPE_FLOAT;
    p.override = override;
    return p;
}

CSClient::Parameter CSClient::Parameter::makeInt(const std::string& id, int v, bool override)
{
    Parameter p;
    p.id = id;
    p.value.intValue = v;
    p.type = PARAMETER_TYPE_INT;
    p.override = override;
    return p;
}

CSClient::CSClient(unsigned, const Timing& t) : timing(t), protocol(nullptr) {}

CSClient::~CSClient()
{
    if (!protocol)
        return;
    protocol->forceCloseConnection();
    // Without limit: the receive thread ends within a few seconds of the
    // close request, and the engine must not be destroyed before.
    while (protocol->getState() != STATE_CLOSED)
        std::this_thread::sleep_for(timing.facadePollStep);
    protocol->waitForReceiveThread();
    delete protocol;
}

CSClient::Result CSClient::open(unsigned address, unsigned port, const ConnectionOptions* options)
{
    return protocol->openConnection(address, port, options);
}

CSClient::Result CSClient::open(const char* address, unsigned port, const ConnectionOptions* options)
{
    return open(CSCommsInterfaceTCP::convertIPAddressToOctet(address), port, options);
}

void CSClient::close()
{
    protocol->forceCloseConnection();
    // The receive thread takes STATE_CLOSED before its callbacks hear of
    // it: a closed client has also told them, so no callback comes after
    // close returns. Bounded, should a callback wait on the caller.
    pollFor(timing.closeWait,
            [this] { return protocol->getState() == STATE_CLOSED && protocol->stateChangesNotified(); });
}

bool CSClient::waitForConnectionState(State wanted, unsigned seconds) const
{
    return pollFor(std::chrono::seconds(seconds), [&] { return protocol->getState() == wanted; });
}

CSClient::Result CSClient::sendMessage(const RawMessage& message)
{
    return protocol->sendMessage(message);
}

unsigned CSClient::getOptions() const { return protocol->getOptions(); }
bool CSClient::hasOptions(unsigned mask) const { return protocol->hasOptions(mask); }
CSClient::State CSClient::getConnectionState() const { return protocol->getState(); }
std::string CSClient::getServerVersion() const { return protocol->getServerVersion(); }
unsigned CSClient::getProtocolVersion() const { return protocol->getProtocolVersion(); }
std::string CSClient::getServerIPAddress() const { return protocol->getServerIPAddress(); }
unsigned CSClient::getServerPort() const { return protocol->getServerPort(); }

unsigned CSClient::getNumberOfRegisteredInputParameters() const
{
    return protocol->getNumberOfInputParameters(true);
}

unsigned CSClient::getNumberOfUnregisteredInputParameters() const
{
    return protocol->getNumberOfInputParametersWaitingForConfirmation();
}

unsigned CSClient::getNumberOfRegisteredOutputParameters() const
{
    return protocol->getNumberOfOutputParameters(true);
}

unsigned CSClient::getNumberOfUnregisteredOutputParameters() const
{
    return protocol->getNumberOfOutputParametersWaitingForConfirmation();
}

bool CSClient::isInputParameterRegistered(const std::string& id) const
{
    return protocol->hasInputParameter(id, true);
}

bool CSClient::isOutputParameterRegistered(const std::string& id) const
{
    return protocol->hasOutputParameter(id, true);
}

CSClient::Result CSClient::registerInputParameter(const InputDef& def)
{
    return protocol->registerInputParameters(&def, 1);
}

CSClient::Result CSClient::registerInputParameters(const InputDef* defs, unsigned count)
{
    return protocol->registerInputParameters(defs, count);
}

CSClient::Result CSClient::registerInputParameters(const std::vector<InputDef>& defs)
{
    if (defs.empty())
        return RESULT_OK;
    return protocol->registerInputParameters(defs.data(), static_cast<unsigned>(defs.size()));
}

CSClient::Result CSClient::unregisterInputParameter(const std::string& id)
{
    return protocol->unregisterInputParameters(std::vector<std::string>(1, id));
}

CSClient::Result CSClient::unregisterInputParameters(const std::vector<std::string>& ids)
{
    return protocol->unregisterInputParameters(ids);
}

CSClient::Result CSClient::unregisterInputParameters(const InputDef* defs, unsigned count)
{
    std::vector<std::string> ids;
    for (unsigned i = 0; defs && i < count; ++i)
        ids.push_back(defs[i].id);
    return protocol->unregisterInputParameters(ids);
}

CSClient::Result CSClient::unregisterAllInputParameters()
{
    return protocol->unregisterAllInputParameters();
}

// True when nothing waits within `seconds`; false at once for 0.
bool CSClient::waitForInputsToBeRegistered(unsigned seconds) const
{
    return seconds != 0 && pollFor(std::chrono::seconds(seconds), [this] {
               return protocol->getNumberOfInputParametersWaitingForConfirmation() == 0;
           });
}

CSClient::Result CSClient::registerOutputParameter(const OutputDef& def)
{
    return protocol->registerOutputParameters(&def, 1);
}

CSClient::Result CSClient::registerOutputParameters(const OutputDef* defs, unsigned count)
{
    return protocol->registerOutputParameters(defs, count);
}

CSClient::Result CSClient::registerOutputParameters(const std::vector<OutputDef>& defs)
{
    if (defs.empty())
        return RESULT_OK;
    return protocol->registerOutputParameters(defs.data(), static_cast<unsigned>(defs.size()));
}

CSClient::Result CSClient::unregisterOutputParameter(const std::string& id)
{
    return protocol->unregisterOutputParameters(std::vector<std::string>(1, id));
}

CSClient::Result CSClient::unregisterOutputParameters(const std::vector<std::string>& ids)
{
    return protocol->unregisterOutputParameters(ids);
}

CSClient::Result CSClient::unregisterOutputParameters(const OutputDef* defs, unsigned count)
{
    std::vector<std::string> ids;
    for (unsigned i = 0; defs && i < count; ++i)
        ids.push_back(defs[i].id);
    return protocol->unregisterOutputParameters(ids);
}

CSClient::Result CSClient::unregisterAllOutputParameters()
{
    return protocol->unregisterAllOutputParameters();
}

bool CSClient::waitForOutputsToBeRegistered(unsigned seconds) const
{
    return seconds != 0 && pollFor(std::chrono::seconds(seconds), [this] {
               return protocol->getNumberOfOutputParametersWaitingForConfirmation() == 0;
           });
}

CSClient::Result CSClient::publishParameter(const Parameter& parameter)
{
    return protocol->publishParameters(&parameter, 1, CSClientProtocol::PUBLISH_PLAIN);
}

CSClient::Result CSClient::publishParameters(const Parameter* parameters, unsigned count)
{
    return protocol->publishParameters(parameters, count, CSClientProtocol::PUBLISH_PLAIN);
}

CSClient::Result CSClient::publishParameters(const std::vector<Parameter>& parameters)
{
    if (parameters.empty())
        return RESULT_OK;
    return protocol->publishParameters(parameters.data(), static_cast<unsigned>(parameters.size()),
                                       CSClientProtocol::PUBLISH_PLAIN);
}

bool CSClient::findPublishedParameter(const std::string& id, Parameter& out) const
{
    return protocol->findPublishedParameter(id, out);
}

void CSClient::getAllPublishedParameters(std::vector<Parameter>& out) const
{
    protocol->getAllPublishedParameters(out);
}

bool CSClient::addCallbackInterface(CallbackIface* callback) { return protocol->addCallbackInterface(callback); }
void CSClient::removeCallbackInterface(CallbackIface* callback) { protocol->removeCallbackInterface(callback); }
bool CSClient::hasCallbackInterface(CallbackIface* callback) const { return protocol->hasCallbackInterface(callback); }
unsigned CSClient::getNumCallbackInterfaces() const { return protocol->getNumCallbackInterfaces(); }
void CSClient::getCallbackInterfaces(std::set<CallbackIface*>& out) const { protocol->getCallbackInterfaces(out); }

std::string CSClient::getClientVersion()
{
    return "2-1-50-0";
}

} // namespace com_vela
