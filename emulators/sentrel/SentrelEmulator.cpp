#include "SentrelEmulator.h"

#include "IoThread.h"
#include "Log.h"

#include <boost/asio.hpp>

#include <array>
#include <deque>

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

// The sockets, timers and the io thread; everything but start and stop runs
// on the io thread.
struct SentrelEmulator::Transport {
    struct Conn {
        Conn(asio::io_context& io, unsigned id) : sock(io), gap(io), session(id) {}
        tcp::socket sock;
        std::array<char, 8192> buf{};
        asio::steady_timer gap;
        UnitSession session;
        std::deque<Response::Write> out;
        bool writing = false;
        bool closed = false;
        bool abortive = false;  // closed with a reset instead of a shutdown
    };
    using ConnPtr = std::shared_ptr<Conn>;

    explicit Transport(SentrelUnit& unit)
        : unit(unit), opts(unit.options()), acceptor(io), udpSocket(io), wifiTimer(io), consoleTimer(io) {}

    SentrelUnit& unit;
    const Options& opts;
    asio::io_context io;
    tcp::acceptor acceptor;
    udp::socket udpSocket;
    udp::endpoint udpSender;
    std::array<char, 2048> udpBuf{};
    asio::steady_timer wifiTimer;
    asio::steady_timer consoleTimer;
    ConnPtr current;
    bool stopping = false;
    IoThread ioThread{io};

    void open() {
        boost::system::error_code ignored;
        try {
            if (!unit.faults().refuseConnections) openAcceptor();
            if (opts.udpPort != 0) {
                udp::endpoint ep(asio::ip::make_address(opts.address), opts.udpPort);
                udpSocket.open(ep.protocol());
                udpSocket.set_option(udp::socket::reuse_address(true));
                udpSocket.bind(ep);
            }
        } catch (...) {
            acceptor.close(ignored);
            udpSocket.close(ignored);
            throw;
        }
        stopping = false;
        doAccept();
        if (udpSocket.is_open()) doUdpReceive();
        if (opts.consoleView) scheduleConsole();
        ioThread.start();
    }

    void close() {
        ioThread.stop([this] {
            stopping = true;
            boost::system::error_code ignored;
            acceptor.close(ignored);
            udpSocket.close(ignored);
            wifiTimer.cancel();
            consoleTimer.cancel();
            if (current) closeConn(current);
        });
    }

    void openAcceptor() {
        tcp::endpoint ep(asio::ip::make_address(opts.address), opts.port);
        acceptor.open(ep.protocol());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind(ep);
        acceptor.listen();
    }

    void doAccept() {
        if (!acceptor.is_open()) return;
        auto conn = std::make_shared<Conn>(io, unit.connectionCount() + 1);
        acceptor.async_accept(conn->sock, [this, conn](const boost::system::error_code& ec) {
            if (stopping || ec == asio::error::operation_aborted) return;
            if (ec)
                snlog::err() << "SentrelEmulator> accept failed: " << ec.message();
            else
                onAccepted(conn);
            doAccept();
        });
    }

    void onAccepted(const ConnPtr& conn) {
        boost::system::error_code ignored;
        conn->sock.set_option(tcp::no_delay(true), ignored);
        if (current) {
            snlog::out() << "SentrelEmulator> new connection: closing connection " << current->session.id();
            closeConn(current);
        }
        current = conn;
        unit.connectionOpened();
        snlog::out() << "SentrelEmulator> connection " << conn->session.id() << " from "
                     << conn->sock.remote_endpoint(ignored);
        doRead(conn);
    }

    void closeConn(ConnPtr conn) {  // by value: `current` may be the argument
        if (conn->closed) return;
        conn->closed = true;
        // State first: whoever sees the connection end must find it reported.
        if (conn == current) {
            current.reset();
            unit.connectionEnded();
        }
        boost::system::error_code ignored;
        if (!conn->abortive) conn->sock.shutdown(tcp::socket::shutdown_both, ignored);
        conn->sock.close(ignored);
        conn->gap.cancel();
    }

    void doRead(const ConnPtr& conn) {
        conn->sock.async_read_some(asio::buffer(conn->buf), [this, conn](const boost::system::error_code& ec,
                                                                         std::size_t n) {
            if (stopping || conn->closed) return;
            if (ec) {
                snlog::out() << "SentrelEmulator> connection " << conn->session.id() << " closed by peer ("
                             << ec.message() << ")";
                closeConn(conn);
                return;
            }
            Response response = unit.receive(conn->session, conn->buf.data(), n);
            if (response.join) startWifiTimer(*response.join);
            if (response.end) {
                closeConn(conn);
                return;
            }
            for (auto& w : response.writes) conn->out.push_back(std::move(w));
            if (!conn->writing) doWrite(conn);
            doRead(conn);
        });
    }

    void doWrite(const ConnPtr& conn) {
        if (conn->closed || conn->out.empty()) {
            conn->writing = false;
            return;
        }
        conn->writing = true;
        asio::async_write(conn->sock, asio::buffer(conn->out.front().bytes),
                          [this, conn](const boost::system::error_code& ec, std::size_t) {
                              if (stopping || conn->closed) return;
                              if (ec) {
                                  snlog::out() << "SentrelEmulator> write failed: " << ec.message();
                                  closeConn(conn);
                                  return;
                              }
                              const bool pause = conn->out.front().pauseAfter;
                              conn->session.wrote(conn->out.front().bytes.size());
                              conn->out.pop_front();
                              if (!pause) {
                                  doWrite(conn);
                                  return;
                              }
                              // A pause lets each piece leave as its own segment.
                              conn->gap.expires_after(opts.splitReplyGap);
                              conn->gap.async_wait([this, conn](const boost::system::error_code& e) {
                                  if (stopping || e || conn->closed) return;
                                  doWrite(conn);
                              });
                          });
    }

    // A later join replaces one still under way.
    void startWifiTimer(const WifiJoin& join) {
        wifiTimer.expires_after(opts.wifiJoinDelay);
        wifiTimer.async_wait([this, join](const boost::system::error_code& ec) {
            if (stopping || ec) return;
            unit.finishWifiJoin(join);
        });
    }

    void doUdpReceive() {
        udpSocket.async_receive_from(asio::buffer(udpBuf), udpSender,
                                     [this](const boost::system::error_code& ec, std::size_t n) {
                                         if (stopping || ec == asio::error::operation_aborted) return;
                                         if (!ec) {
                                             if (auto answer = unit.datagram(std::string(udpBuf.data(), n))) {
                                                 boost::system::error_code sendError;
                                                 udpSocket.send_to(asio::buffer(*answer), udpSender, 0, sendError);
                                             }
                                         }
                                         if (udpSocket.is_open()) doUdpReceive();
                                     });
    }

    void scheduleConsole() {
        consoleTimer.expires_after(opts.consolePeriod);
        consoleTimer.async_wait([this](const boost::system::error_code& ec) {
            if (stopping || ec) return;
            snlog::out() << unit.summaryLine();
            scheduleConsole();
        });
    }

    void applyRefuse(bool refuse) {
        if (stopping) return;
        boost::system::error_code ignored;
        if (refuse && acceptor.is_open()) {
            acceptor.close(ignored);
        } else if (!refuse && !acceptor.is_open()) {
            try {
                openAcceptor();
                doAccept();
            } catch (const std::exception& e) {
                acceptor.close(ignored);
                snlog::err() << "SentrelEmulator> cannot listen again: " << e.what();
            }
        }
    }

    // A reset instead of a shutdown: the bridge's next write or read fails.
    void resetCurrent() {
        if (!current) {
            snlog::out() << "SentrelEmulator> reset: no connection";
            return;
        }
        snlog::out() << "SentrelEmulator> resetting connection " << current->session.id();
        boost::system::error_code ignored;
        current->sock.set_option(asio::socket_base::linger(true, 0), ignored);
        current->abortive = true;
        closeConn(current);
    }

    void closeCurrentForRefusal() {
        if (!current) return;
        snlog::out() << "SentrelEmulator> refusing: closing connection " << current->session.id();
        closeConn(current);
    }
};

SentrelEmulator::SentrelEmulator(Options options)
    : SentrelUnit(std::move(options)), transport(new Transport(*this)) {}

SentrelEmulator::~SentrelEmulator() { stop(); }

void SentrelEmulator::start() {
    std::lock_guard<std::mutex> life(lifeMutex);
    if (transport->ioThread.running()) return;
    transport->open();
    serving = true;
}

void SentrelEmulator::stop() {
    std::lock_guard<std::mutex> life(lifeMutex);
    if (!transport->ioThread.running()) return;
    transport->close();
    serving = false;
}

void SentrelEmulator::setFaults(const Faults& faults) {
    storeFaults(faults);
    std::lock_guard<std::mutex> life(lifeMutex);
    if (transport->ioThread.running()) {
        const bool refuse = faults.refuseConnections;
        asio::post(transport->io, [this, refuse] { transport->applyRefuse(refuse); });
    }
}

void SentrelEmulator::resetConnection() {
    std::lock_guard<std::mutex> life(lifeMutex);
    if (transport->ioThread.running()) asio::post(transport->io, [this] { transport->resetCurrent(); });
}

void SentrelEmulator::setRefusing(bool refuse) {
    Faults f = faults();
    f.refuseConnections = refuse;
    setFaults(f);
    std::lock_guard<std::mutex> life(lifeMutex);
    if (refuse && transport->ioThread.running())
        asio::post(transport->io, [this] { transport->closeCurrentForRefusal(); });
}
