#ifndef COM_VELA_SIMCLIENT_H
#define COM_VELA_SIMCLIENT_H

#include "CSClient.h"
#include "SimulatorProtocol.h"

namespace com_vela {

// Client of the RHM server over the SIM protocol.
class SimClient : public CSClient {
public:
    class Callback : public CSClient::CallbackIface {};

    SimClient(unsigned simulatorId, unsigned options, const Timing& timing = Timing());

    // The engine, for its simulator id and for tests.
    SimulatorProtocol* engine() { return static_cast<SimulatorProtocol*>(protocol); }
};

}  // namespace com_vela

#endif
