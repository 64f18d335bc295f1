#include "MonitorServer.h"

#include "IoThread.h"
#include "MonitorState.h"

#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <atomic>
#include <deque>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

const char* const kPagePath = "/";
const char* const kPageAltPath = "/index.html";
const char* const kEventsPath = "/events";

// Everything before the first event record: the answer's header, then a
// comment line and the browser's reconnect delay.
const char* const kStreamHead =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: text/event-stream\r\n"
    "Cache-Control: no-store\r\n"
    "Connection: close\r\n"
    "\r\n"
    ": the emulated unit's live values\n"
    "retry: 1000\n\n";

// The page loads nothing from elsewhere; the browser is told so as well.
const char* const kPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'";

std::string pathOf(boost::beast::string_view target) {
    std::string path(target.data(), target.size());
    return path.substr(0, path.find('?'));
}

}  // namespace

struct MonitorServer::Impl {
    using EventText = std::shared_ptr<const std::string>;

    struct Conn {
        explicit Conn(asio::io_context& io) : sock(io), timer(io), buffer(kMaxHeaderBytes) {}
        tcp::socket sock;
        asio::steady_timer timer;       // request, write stall or linger bound
        unsigned timerGeneration = 0;   // a wait whose generation moved on is stale
        boost::beast::flat_buffer buffer;
        http::request_parser<http::empty_body> parser;
        std::string answer;             // the bytes of a plain answer
        std::array<char, 4096> scratch{};
        std::size_t drained = 0;
        bool viewer = false;
        bool closed = false;
        std::deque<EventText> queue;    // a viewer's waiting events
        EventText inFlight;             // the one being written
    };
    using ConnPtr = std::shared_ptr<Conn>;

    Impl(MonitorState& s, Options o) : state(s), opts(std::move(o)), acceptor(io), ticker(io) {}

    MonitorState& state;
    Options opts;
    asio::io_context io;
    tcp::acceptor acceptor;
    asio::steady_timer ticker;
    std::set<ConnPtr> conns;   // io thread only
    bool stopping = false;
    IoThread ioThread{io};
    std::mutex lifeMutex;      // serialises start and stop
    std::atomic<unsigned short> boundPort{0};

    std::atomic<std::size_t> viewers{0};
    std::atomic<std::uint64_t> events{0}, dropped{0}, answered{0}, refused{0};

    // --- Bounds on waiting ---
    template <class OnExpiry>
    void arm(const ConnPtr& c, std::chrono::milliseconds bound, OnExpiry onExpiry) {
        const unsigned generation = ++c->timerGeneration;
        c->timer.expires_after(bound);
        c->timer.async_wait([this, c, generation, onExpiry](const error_code& ec) {
            if (stopping || ec || c->closed || generation != c->timerGeneration) return;
            onExpiry();
        });
    }
    void disarm(const ConnPtr& c) {
        ++c->timerGeneration;
        c->timer.cancel();
    }

    void close(const ConnPtr& c) {
        if (c->closed) return;
        c->closed = true;
        if (c->viewer) --viewers;
        error_code ignored;
        c->sock.shutdown(tcp::socket::shutdown_both, ignored);
        c->sock.close(ignored);
        disarm(c);
        c->queue.clear();
        conns.erase(c);
    }

    // --- Accepting and reading one request ---
    void doAccept() {
        auto c = std::make_shared<Conn>(io);
        acceptor.async_accept(c->sock, [this, c](const error_code& ec) {
            if (stopping || ec == asio::error::operation_aborted) return;
            if (!ec) {
                if (conns.size() >= opts.maxConnections) {
                    ++refused;
                    error_code ignored;
                    c->sock.close(ignored);
                } else {
                    conns.insert(c);
                    readRequest(c);
                }
            }
            doAccept();
        });
    }

    void readRequest(const ConnPtr& c) {
        c->parser.header_limit(kMaxHeaderBytes);
        arm(c, opts.requestTimeout, [this, c] { close(c); });
        // Only the header: no request here has a use for a body, and the
        // lingering close drains one.
        http::async_read_header(c->sock, c->buffer, c->parser, [this, c](const error_code& ec, std::size_t) {
            if (stopping || c->closed) return;
            disarm(c);
            if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
                answer(c, http::status::request_header_fields_too_large, "request header too large\n");
            } else if (ec == http::error::end_of_stream || ec == asio::error::eof ||
                       ec == asio::error::connection_reset) {
                close(c);
            } else if (ec) {
                answer(c, http::status::bad_request, "bad request\n");
            } else {
                route(c);
            }
        });
    }

    void route(const ConnPtr& c) {
        const auto& req = c->parser.get();
        const std::string path = pathOf(req.target());
        if (req.method() != http::verb::get) {
            answer(c, http::status::method_not_allowed, "only GET is served\n");
        } else if (path == kPagePath || path == kPageAltPath) {
            answer(c, http::status::ok, monitorPageHtml(), "text/html; charset=utf-8");
        } else if (path == kEventsPath) {
            if (viewers >= opts.maxViewers)
                answer(c, http::status::service_unavailable, "too many viewers\n");
            else
                startStream(c);
        } else {
            answer(c, http::status::not_found, "not found\n");
        }
    }

    // --- Plain answers: written, then the connection is closed gracefully ---
    void answer(const ConnPtr& c, http::status status, const std::string& body,
                const char* contentType = "text/plain; charset=utf-8") {
        ++answered;
        http::response<http::string_body> res{status, 11};
        res.set(http::field::server, "sentrel-emulator");
        res.set(http::field::content_type, contentType);
        res.set(http::field::cache_control, "no-store");
        if (status == http::status::method_not_allowed) res.set(http::field::allow, "GET");
        if (status == http::status::ok) res.set("Content-Security-Policy", kPagePolicy);
        res.keep_alive(false);
        res.body() = body;
        res.prepare_payload();
        std::ostringstream bytes;
        bytes << res;
        c->answer = bytes.str();
        write(c, asio::buffer(c->answer), [this, c] { linger(c); });
    }

    // Writes within the stall bound, then goes on with `then`; a failed or
    // stalled write closes the connection.
    template <class Then>
    void write(const ConnPtr& c, asio::const_buffer bytes, Then then) {
        arm(c, opts.writeStallLimit, [this, c] { close(c); });
        asio::async_write(c->sock, bytes, [this, c, then](const error_code& ec, std::size_t) {
            if (stopping || c->closed) return;
            disarm(c);
            if (ec) {
                close(c);
                return;
            }
            then();
        });
    }

    // Closing with unread input would reset the connection and could lose the
    // answer at the client: stop sending, read what is left, then close.
    void linger(const ConnPtr& c) {
        error_code ignored;
        c->sock.shutdown(tcp::socket::shutdown_send, ignored);
        arm(c, opts.lingerTime, [this, c] { close(c); });
        drain(c);
    }

    void drain(const ConnPtr& c) {
        c->sock.async_read_some(asio::buffer(c->scratch), [this, c](const error_code& ec, std::size_t n) {
            if (stopping || c->closed) return;
            c->drained += n;
            if (ec || c->drained > kMaxDrainBytes) {
                close(c);
                return;
            }
            drain(c);
        });
    }

    // --- Event streams ---
    void startStream(const ConnPtr& c) {
        ++answered;
        c->viewer = true;
        ++viewers;
        if (opts.viewerSendBuffer > 0) {
            error_code ignored;
            c->sock.set_option(asio::socket_base::send_buffer_size(opts.viewerSendBuffer), ignored);
        }
        c->queue.push_back(std::make_shared<const std::string>(kStreamHead));
        writeNext(c);
        watchForClose(c);
    }

    // A viewer sends nothing after its request: reading sees it leave at once.
    void watchForClose(const ConnPtr& c) {
        c->sock.async_read_some(asio::buffer(c->scratch), [this, c](const error_code& ec, std::size_t) {
            if (stopping || c->closed) return;
            if (ec) {
                close(c);
                return;
            }
            watchForClose(c);
        });
    }

    void enqueue(const ConnPtr& c, const EventText& event) {
        if (c->queue.size() >= opts.viewerQueueEvents) {
            c->queue.pop_front();
            ++dropped;
        }
        c->queue.push_back(event);
        if (!c->inFlight) writeNext(c);
    }

    void writeNext(const ConnPtr& c) {
        if (c->queue.empty()) {
            c->inFlight.reset();
            return;
        }
        c->inFlight = c->queue.front();
        c->queue.pop_front();
        write(c, asio::buffer(*c->inFlight), [this, c] { writeNext(c); });
    }

    void scheduleTick() {
        ticker.expires_after(opts.eventPeriod);
        ticker.async_wait([this](const error_code& ec) {
            if (stopping || ec) return;
            auto event = std::make_shared<const std::string>(
                "data: " + state.takeEvent(MonitorState::Clock::now()) + "\n\n");
            ++events;
            // A copy: a failed write may close a viewer while events go out.
            const std::set<ConnPtr> now = conns;
            for (const ConnPtr& c : now)
                if (c->viewer && !c->closed) enqueue(c, event);
            scheduleTick();
        });
    }
};

MonitorServer::MonitorServer(MonitorState& state, Options options)
    : impl(new Impl(state, std::move(options))) {}

MonitorServer::~MonitorServer() { stop(); }

void MonitorServer::start() {
    std::lock_guard<std::mutex> life(impl->lifeMutex);
    Impl& d = *impl;
    if (d.ioThread.running()) return;
    tcp::endpoint ep(asio::ip::make_address(d.opts.address), d.opts.port);
    try {
        d.acceptor.open(ep.protocol());
        d.acceptor.set_option(tcp::acceptor::reuse_address(true));
        d.acceptor.bind(ep);
        d.acceptor.listen();
    } catch (...) {
        error_code ignored;
        d.acceptor.close(ignored);
        throw;
    }
    d.boundPort = d.acceptor.local_endpoint().port();
    d.stopping = false;
    d.doAccept();
    d.scheduleTick();
    d.ioThread.start();
}

void MonitorServer::stop() {
    std::lock_guard<std::mutex> life(impl->lifeMutex);
    Impl& d = *impl;
    d.ioThread.stop([&d] {
        d.stopping = true;
        error_code ignored;
        d.acceptor.close(ignored);
        d.ticker.cancel();
        const std::set<Impl::ConnPtr> open = d.conns;
        for (const auto& c : open) d.close(c);
    });
}

unsigned short MonitorServer::port() const { return impl->boundPort; }

MonitorServer::Stats MonitorServer::stats() const {
    Stats s;
    s.viewers = impl->viewers;
    s.events = impl->events;
    s.droppedEvents = impl->dropped;
    s.answered = impl->answered;
    s.refusedConnections = impl->refused;
    return s;
}

bool parseListenAddress(const std::string& text, std::string& address, unsigned short& port, std::string& why) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) {
        why = "expected ADDR:PORT";
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    error_code ec;
    asio::ip::make_address(host, ec);
    if (ec || host.empty()) {
        why = "\"" + host + "\" is not an IP address";
        return false;
    }
    const std::string digits = text.substr(colon + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(digits) > 65535) {
        why = "\"" + digits + "\" is not a port number";
        return false;
    }
    address = host;
    port = static_cast<unsigned short>(std::stoul(digits));
    return true;
}
