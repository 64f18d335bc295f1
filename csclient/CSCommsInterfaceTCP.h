#ifndef COM_VELA_CSCOMMSINTERFACETCP_H
#define COM_VELA_CSCOMMSINTERFACETCP_H

#include "CSCommsInterface.h"
#include "CSMutex.h"
#include "Timing.h"

#include <netinet/in.h>

#include <atomic>
#include <string>

namespace com_vela {

// Blocking IPv4 TCP client with a short receive timeout (timing.receiveTimeout,
// 1 second), so that the receive thread looks at the engine state at least
// that often. A connect attempt lasts at most timing.connectBound.
class CSCommsInterfaceTCP : public CSCommsInterface {
public:
    struct Options {
        unsigned receiveBufferSize = 0;   // 0: system default
        unsigned sendBufferSize = 0;      // 0: system default
    };

    explicit CSCommsInterfaceTCP(const Timing& timing = Timing());
    explicit CSCommsInterfaceTCP(const Options& options, const Timing& timing = Timing());
    ~CSCommsInterfaceTCP() override;

    void setOptions(const Options& options);
    const Options& getOptions() const { return options; }

    int readMessage(unsigned size, RawMessage& message) override;
    int writeMessage(const RawMessage& message) override;
    void close() override;
    bool openConnection(unsigned ipAddress, unsigned port) override;
    bool openConnection(const char* address, unsigned port);

    // close() without taking the socket lock (it takes the write lock).
    void closeSocket();

    // Descriptor of the connected socket, -1 when none.
    int getSocket() const { return socket; }

    // inet_addr: 0xFFFFFFFF for a string that is not a dotted address.
    static unsigned convertIPAddressToOctet(const char* address);
    // Dotted text, least significant byte first.
    static std::string convertIPOctetToAddress(unsigned address);

private:
    bool connectWithin(int fd, const struct sockaddr_in& server) const;

    const Timing timing;
    std::atomic<int> socket;
    Options options;
    CSMutex socketMutex;
    CSMutex writeMutex;
};

} // namespace com_vela

#endif
