// What the emulated simulator servers parse from a client: frame headers,
// bodies and every request of either protocol, without sockets. The first
// byte picks the protocol.
#include "SimulatorEmulator.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    SimulatorEmulator::Options options;
    options.sendUpdates = false;
    SimulatorEmulator emulator(options);
    const SimProtocol protocol = (data[0] & 1) ? SimProtocol::APP : SimProtocol::SIM;
    const std::vector<std::uint8_t> stream(data + 1, data + size);
    const auto replies = emulator.feedClientBytes(protocol, stream);
    // Every reply is a whole frame whose header gives its length.
    for (const auto& r : replies) {
        if (r.size() < 32)
            std::abort();
        const std::uint32_t length = (std::uint32_t(r[0]) << 24) | (std::uint32_t(r[1]) << 16) |
                                     (std::uint32_t(r[2]) << 8) | std::uint32_t(r[3]);
        if (length != r.size())
            std::abort();
    }
    return 0;
}
