#ifndef COM_VELA_CSCOMMSINTERFACE_H
#define COM_VELA_CSCOMMSINTERFACE_H

#include "RawMessage.h"

namespace com_vela {

// Connection to one simulator server, as the protocol engine sees it.
class CSCommsInterface {
public:
    virtual ~CSCommsInterface() {}
    // Appends up to `size` received bytes to the body: count appended, 0 when
    // the peer closed or reset, -2 on receive timeout with nothing received,
    // -1 on any other error.
    virtual int readMessage(unsigned size, RawMessage& message) = 0;
    // Writes the whole body in one call; returns what the write returned.
    virtual int writeMessage(const RawMessage& message) = 0;
    virtual void close() = 0;
    // ipAddress is an octet value: address bytes in network order.
    virtual bool openConnection(unsigned ipAddress, unsigned port) = 0;
};

} // namespace com_vela

#endif
