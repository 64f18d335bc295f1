// What the emulated simulator servers parse from a client: frame headers,
// bodies and every request of either protocol, handed to their handlers
// without sockets. The first byte picks the protocol.
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
    simemu::FrameReader frames;
    frames.append(data + 1, size - 1);
    simemu::Outgoing out;
    unsigned kind = 0;
    simemu::Bytes body;
    std::string why;
    while (frames.next(kind, body, why) == simemu::FrameReader::Status::Frame)
        simemu::handleFrame(state, client, kind, body, out);
    simemu::tickUpdates(state, 0.1, out);
    // Every reply goes to the client and is a whole frame whose header gives its length.
    for (const auto& r : out) {
        if (r.first != client || r.second.size() < simemu::kFrameHeaderSize ||
            simemu::get32(r.second, 0) != r.second.size())
            std::abort();
    }
    return 0;
}
