#include "SimClient.h"

namespace com_vela {

SimClient::SimClient(unsigned simulatorId, unsigned options) : CSClient(options) {
    protocol = new SimulatorProtocol(simulatorId, options);
}

}  // namespace com_vela
