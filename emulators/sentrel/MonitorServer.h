#pragma once

// The emulated unit's live monitor page over HTTP on one address:
//   GET /  (or /index.html)  the page (HTML, style and script in one answer)
//   GET /events              Server-Sent Events: every eventPeriod one
//                            "data: <MonitorState event JSON>" record
// Any other path is 404, any other method 405; a request whose header is
// larger than kMaxHeaderBytes is 431; nothing a viewer sends changes the unit.
//
// The server runs on its own thread. Each viewer has a bounded queue of
// events that drops the oldest when the viewer does not keep up, and a viewer
// that takes no bytes for writeStallLimit is dropped, so a slow or vanished
// browser costs the unit side nothing.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class MonitorState;

struct MonitorServerOptions {
    std::string address = "127.0.0.1";
    unsigned short port = 8080;                        // 0: any free port (see port())
    std::chrono::milliseconds eventPeriod{100};        // one event to every viewer
    std::chrono::milliseconds requestTimeout{10000};   // a request's header must arrive within this
    std::chrono::milliseconds writeStallLimit{10000};  // a viewer taking no bytes this long is dropped
    std::chrono::milliseconds lingerTime{2000};        // after an answer, unread input is drained this long
    std::size_t viewerQueueEvents = 50;                // events waiting per viewer; the oldest go first
    std::size_t maxViewers = 16;                       // event streams at once; more get 503
    std::size_t maxConnections = 64;                   // connections at once; more are closed at once
    int viewerSendBuffer = 64 * 1024;                  // socket send buffer per viewer, bytes (0: the system's)
};

class MonitorServer {
public:
    using Options = MonitorServerOptions;

    static constexpr std::size_t kMaxHeaderBytes = 8 * 1024;   // request line and header fields
    static constexpr std::size_t kMaxDrainBytes = 4 << 20;     // unread input drained after an answer

    struct Stats {
        std::size_t viewers = 0;            // event streams open now
        std::uint64_t events = 0;           // events built
        std::uint64_t droppedEvents = 0;    // events a viewer's full queue let go
        std::uint64_t answered = 0;         // requests answered (page, refusals, streams)
        std::uint64_t refusedConnections = 0;
    };

    // `state` must outlive the server.
    explicit MonitorServer(MonitorState& state, Options options = Options());
    ~MonitorServer();  // stops
    MonitorServer(const MonitorServer&) = delete;
    MonitorServer& operator=(const MonitorServer&) = delete;

    // Binds and starts serving; throws boost::system::system_error when the
    // address cannot be bound. stop() closes every connection and joins the
    // server's thread; both may be called more than once.
    void start();
    void stop();

    unsigned short port() const;  // the bound port once started
    Stats stats() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

// Reads "ADDR:PORT" (an IPv4 address, or an IPv6 one in brackets, and a port
// 0..65535; 0 takes any free port). On failure `why` says what is wrong.
bool parseListenAddress(const std::string& text, std::string& address, unsigned short& port, std::string& why);

// The monitor page: one self-contained HTML document.
const std::string& monitorPageHtml();
