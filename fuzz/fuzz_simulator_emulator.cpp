// What the emulated simulator servers parse from a client: frame headers,
// bodies and every request of either protocol, handed to their handlers
// without sockets. The first byte picks the protocol.
#include "RawMessage.h"
#include "ServerState.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    SimulatorEmulatorOptions options;
    options.sendUpdates = false;
    simemu::ServerState state(options);
    const unsigned client = 1;
    state.clients[client].proto = (data[0] & 1) ? simemu::kApp : simemu::kSim;
    simemu::Outgoing out;
    simemu::handleStream(state, client, simemu::Bytes(data + 1, data + size), out);
    simemu::tickUpdates(state, 0.1, out);
    // Every reply goes to the client and is a whole frame whose header gives its length.
    for (const auto& r : out) {
        if (r.first != client || r.second.size() < simemu::kFrameHeaderSize ||
            simemu::get32(r.second, com_vela::FRAME_LENGTH_OFFSET) != r.second.size())
            std::abort();
    }
    return 0;
}
