#pragma once

// One thread running an io_context for a server object, from start() to
// stop(). stop() ends the thread first, then lets the owner close its sockets
// and timers and runs the handlers that this aborts once, so that none is
// left holding a connection when stop() returns.

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <memory>
#include <thread>

class IoThread {
public:
    explicit IoThread(boost::asio::io_context& io) : io(io) {}
    ~IoThread() { stop([] {}); }
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    // Starts the thread; the io_context keeps running with no work queued.
    void start() {
        io.restart();
        work.reset(new Work(io.get_executor()));
        thread = std::thread([this] { io.run(); });
    }

    bool running() const { return thread.joinable(); }

    // closeAll runs once the thread has ended, on the caller's thread.
    template <class CloseAll>
    void stop(CloseAll closeAll) {
        if (!thread.joinable()) return;
        work.reset();
        io.stop();
        thread.join();
        closeAll();
        io.restart();
        io.poll();
    }

private:
    using Work = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;
    boost::asio::io_context& io;
    std::unique_ptr<Work> work;
    std::thread thread;
};
