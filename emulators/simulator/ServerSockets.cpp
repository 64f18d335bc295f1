#include "ServerSockets.h"

#include "SocketFlags.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace simemu {

struct ServerSockets::Conn {
    int fd = -1;
    int proto = 0;
    unsigned id = 0;
    std::thread reader;
    std::atomic<bool> closing{false};
    std::atomic<bool> finished{false};
    // Guarded by writeMutex.
    std::mutex writeMutex;
    unsigned dropLeft = 0;  // frames still to send before closing (0: off)
    bool stallArmed = false;
    bool stalled = false;
    Bytes stallRest;

    ~Conn() {
        if (fd >= 0) ::close(fd);
    }
    void shut() {
        closing = true;
        ::shutdown(fd, SHUT_RDWR);
    }
};

ServerSockets::ServerSockets(const SimulatorEmulatorOptions& options, Events events)
    : opt(options), events(std::move(events)) {}

ServerSockets::~ServerSockets() { stop(); }

bool ServerSockets::start(std::string* error) {
    if (started) return true;
    const bool serve[2] = {opt.serveSim, opt.serveApp};
    for (int i = 0; i < 2; ++i) {
        if (!serve[i]) continue;
        listenFd[i] = openListener(i, error);
        if (listenFd[i] < 0) {
            for (int k = 0; k < i; ++k)
                if (listenFd[k] >= 0) {
                    ::close(listenFd[k]);
                    listenFd[k] = -1;
                }
            return false;
        }
    }
    stopping = false;
    started = true;
    for (int i = 0; i < 2; ++i)
        if (serve[i]) listeners[i] = std::thread([this, i] { listenLoop(i); });
    return true;
}

void ServerSockets::stop() {
    if (!started) return;
    stopping = true;
    for (auto& t : listeners)
        if (t.joinable()) t.join();
    std::vector<ConnPtr> all;
    {
        std::lock_guard<std::mutex> g(mu);
        all.swap(conns);
    }
    for (auto& c : all) c->shut();
    for (auto& c : all)
        if (c->reader.joinable()) c->reader.join();
    started = false;
}

int ServerSockets::openListener(int i, std::string* error) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        if (error) *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(i == 0 ? opt.simPort : opt.appPort);
    if (::inet_pton(AF_INET, opt.address.c_str(), &a.sin_addr) != 1) {
        if (error) *error = "bad address " + opt.address;
        ::close(fd);
        return -1;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0) {
        if (error)
            *error = std::string("cannot listen on ") + opt.address + ":" + std::to_string(ntohs(a.sin_port)) +
                     ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

void ServerSockets::listenLoop(int i) {
    bool warned = false;
    while (!stopping) {
        const bool want = !refusing(i);
        if (want && listenFd[i] < 0) {
            std::string why;
            listenFd[i] = openListener(i, &why);
            if (listenFd[i] < 0) {
                if (!warned) logLine(opt, std::string(label(i)) + " " + why + " (retrying)");
                warned = true;
                std::this_thread::sleep_for(opt.listenRetry);
                continue;
            }
            warned = false;
            logLine(opt, std::string(label(i)) + " listening again");
        }
        if (!want && listenFd[i] >= 0) {
            ::close(listenFd[i]);
            listenFd[i] = -1;
            logLine(opt, std::string(label(i)) + " listener closed");
        }
        reap();
        if (listenFd[i] < 0) {
            std::this_thread::sleep_for(opt.acceptPoll);
            continue;
        }
        pollfd pf{listenFd[i], POLLIN, 0};
        if (::poll(&pf, 1, static_cast<int>(opt.acceptPoll.count())) <= 0 || !(pf.revents & POLLIN)) continue;
        const int fd = ::accept(listenFd[i], nullptr, nullptr);
        if (fd < 0) continue;
        suppressSigPipe(fd);
        timeval tv{static_cast<time_t>(opt.writeBound.count() / 1000),
                   static_cast<suseconds_t>(opt.writeBound.count() % 1000 * 1000)};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        auto c = std::make_shared<Conn>();
        c->fd = fd;
        c->proto = i;
        {
            std::lock_guard<std::mutex> g(mu);
            c->id = nextClient++;
            c->dropLeft = dropSetting[i];
            conns.push_back(c);
        }
        // Known to the handlers before its first frame can arrive.
        events.opened(c->id, i);
        logLine(opt, std::string(label(i)) + " client connected");
        c->reader = std::thread([this, c] { readLoop(c); });
    }
    if (listenFd[i] >= 0) ::close(listenFd[i]);
    listenFd[i] = -1;
}

void ServerSockets::reap() {
    std::vector<ConnPtr> done;
    {
        std::lock_guard<std::mutex> g(mu);
        for (auto it = conns.begin(); it != conns.end();) {
            if ((*it)->finished) {
                done.push_back(*it);
                it = conns.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : done)
        if (c->reader.joinable()) c->reader.join();
}

void ServerSockets::readLoop(const ConnPtr& c) {
    FrameReader frames;
    std::uint8_t chunk[8192];
    bool open = true;
    while (open && !stopping && !c->closing) {
        pollfd pf{c->fd, POLLIN, 0};
        const int r = ::poll(&pf, 1, static_cast<int>(opt.readPoll.count()));
        if (r < 0 && errno != EINTR) break;
        if (r <= 0) continue;
        const ssize_t k = ::recv(c->fd, chunk, sizeof chunk, 0);
        if (k <= 0) break;
        frames.append(chunk, std::size_t(k));
        unsigned kind = 0;
        Bytes body;
        std::string why;
        for (;;) {
            const FrameReader::Status s = frames.next(kind, body, why);
            if (s == FrameReader::Status::NeedMore) break;
            if (s == FrameReader::Status::Bad) {
                logLine(opt, std::string(label(c->proto)) + " bad frame from client (" + why + "); closing it");
                events.badFrame(c->id);
                open = false;
                break;
            }
            events.frame(c->id, kind, body);
        }
    }
    c->shut();
    events.gone(c->id);
    logLine(opt, std::string(label(c->proto)) + " client gone");
    c->finished = true;
}

void ServerSockets::writeAll(Conn& c, const std::uint8_t* data, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t k = ::send(c.fd, data + done, n - done, kSendNoSignal);
        if (k <= 0) {
            if (k < 0 && errno == EINTR) continue;
            c.shut();
            return;
        }
        done += std::size_t(k);
    }
}

void ServerSockets::sendFrameTo(Conn& c, const Bytes& f) {
    std::lock_guard<std::mutex> g(c.writeMutex);
    if (c.closing || c.stalled) return;
    if (c.stallArmed && f.size() > kFrameHeaderSize) {
        const std::size_t part = kFrameHeaderSize + (f.size() - kFrameHeaderSize) / 2;
        writeAll(c, f.data(), part);
        c.stallRest.assign(f.begin() + long(part), f.end());
        c.stallArmed = false;
        c.stalled = true;
        return;
    }
    writeAll(c, f.data(), f.size());
    if (c.dropLeft > 0 && --c.dropLeft == 0) {
        logLine(opt, std::string(label(c.proto)) + " dropping a connection as asked");
        c.shut();
    }
}

void ServerSockets::send(const Outgoing& out) {
    for (const auto& o : out) {
        ConnPtr target;
        {
            std::lock_guard<std::mutex> g(mu);
            for (const auto& c : conns)
                if (c->id == o.first) target = c;
        }
        if (target) sendFrameTo(*target, o.second);
    }
}

std::vector<ServerSockets::ConnPtr> ServerSockets::live(int proto) const {
    std::lock_guard<std::mutex> g(mu);
    std::vector<ConnPtr> v;
    for (const auto& c : conns)
        if (c->proto == proto && !c->closing) v.push_back(c);
    return v;
}

void ServerSockets::setRefusing(int proto, bool on) {
    std::lock_guard<std::mutex> g(mu);
    refuse[proto] = on;
}

void ServerSockets::setDown(bool on) {
    {
        std::lock_guard<std::mutex> g(mu);
        down = on;
    }
    if (on)
        for (int i = 0; i < 2; ++i) kick(i);
}

bool ServerSockets::refusing(int proto) const {
    std::lock_guard<std::mutex> g(mu);
    return refuse[proto] || down;
}

void ServerSockets::setStall(int proto, bool on) {
    for (auto& c : live(proto)) {
        std::lock_guard<std::mutex> g(c->writeMutex);
        c->stallArmed = on;
        if (!on && c->stalled) {
            c->stalled = false;
            Bytes rest;
            rest.swap(c->stallRest);
            writeAll(*c, rest.data(), rest.size());
        }
    }
}

void ServerSockets::setDrop(int proto, unsigned n) {
    {
        std::lock_guard<std::mutex> g(mu);
        dropSetting[proto] = n;
    }
    for (auto& c : live(proto)) {
        std::lock_guard<std::mutex> g(c->writeMutex);
        c->dropLeft = n;
    }
}

void ServerSockets::kick(int proto) {
    for (auto& c : live(proto)) c->shut();
}

void ServerSockets::sendBadHeader(int proto) {
    Bytes bad = frame(Bytes{0, 0, 0, 0});
    set32(bad, 0, 8);
    for (auto& c : live(proto)) sendFrameTo(*c, bad);
}

}  // namespace simemu
