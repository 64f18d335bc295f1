#pragma once

// A FIFO whose reader has opened it, shrunk its buffer to one page and does
// not read until asked: a recording target that stops reading.

#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

class StalledFifo {
public:
    // Makes the FIFO at `path` (in a TempDir) and opens its reading end.
    explicit StalledFifo(const std::string& path)
    {
        if (::mkfifo(path.c_str(), 0600) != 0)
            throw std::runtime_error("mkfifo " + path);
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error("open " + path);
        ::fcntl(fd, F_SETPIPE_SZ, 4096);
    }
    ~StalledFifo() { close(); }
    StalledFifo(const StalledFifo&) = delete;
    StalledFifo& operator=(const StalledFifo&) = delete;

    // What the writer has put in so far.
    std::string drain()
    {
        std::string all;
        char buffer[4096];
        for (ssize_t n; fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            all.append(buffer, static_cast<std::size_t>(n));
        return all;
    }
    // The reader goes: the writer's next write fails with EPIPE.
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

private:
    int fd = -1;
};

} // namespace testsupport
