#ifndef TESTS_CSCLIENT_SCRIPTEDSERVER_H
#define TESTS_CSCLIENT_SCRIPTEDSERVER_H

// A loopback TCP server driven step by step from the test thread: accept,
// read frames, send frames or raw bytes, close, stall. Binds 127.0.0.1 only.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cstest {

struct Frame {
    uint32_t length = 0;       // frame length field
    uint32_t kindCode = 0;     // offset 8
    std::vector<uint8_t> header;
    std::vector<uint8_t> body;
};

class ServerConnection {
public:
    explicit ServerConnection(int fd);
    ~ServerConnection();

    bool sendBytes(const std::vector<uint8_t>& bytes);
    // Frame header as the server builds it: length, 32, kind code, 0, 0xFF...
    bool sendFrame(const std::vector<uint8_t>& body, uint32_t kindCode = 0);
    // Reads one whole frame; false on timeout or end of stream.
    bool readFrame(Frame& out, int timeoutMs);
    // True when the peer closed (end of stream or reset) within the time.
    bool waitForPeerClose(int timeoutMs);
    // Orderly close (FIN), or reset (RST) with abort = true.
    void close(bool abort = false);
    int fd() const { return sock; }

private:
    bool readExact(uint8_t* into, size_t n, int timeoutMs);
    int sock;
};

class ScriptedServer {
public:
    ScriptedServer();   // listens on 127.0.0.1, ephemeral port
    ~ScriptedServer();

    unsigned port() const { return listenPort; }
    // Octet value of 127.0.0.1 as the client library takes it.
    static unsigned loopbackOctet();
    // A port on 127.0.0.1 where nothing listens (bound once, then released).
    static unsigned unusedPort();

    std::unique_ptr<ServerConnection> accept(int timeoutMs);
    // Stops listening: later connects are refused.
    void stopListening();

private:
    int listener;
    unsigned listenPort;
};

// 12-byte message header with the given protocol, subprotocol and code.
std::vector<uint8_t> messageHeader(uint8_t protocol, uint8_t subprotocol, uint16_t code);
void appendU32(std::vector<uint8_t>& out, uint32_t v);
uint32_t readU32(const std::vector<uint8_t>& in, size_t offset);

} // namespace cstest

#endif
