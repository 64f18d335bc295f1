#include "SimClient.h"

namespace com_vela {

SimClient::SimClient(unsigned simulatorId, unsigned options, const Timing& timing) : CSClient(options, timing) {
    protocol = new SimulatorProtocol(simulatorId, options, timing);
}

}  // namespace com_vela
