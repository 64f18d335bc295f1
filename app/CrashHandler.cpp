#include "CrashHandler.h"

#include <csignal>
#include <execinfo.h>
#include <unistd.h>

void handler(int /*sig*/)
{
    void* frames[10];
    int n = backtrace(frames, 10);
    backtrace_symbols_fd(frames, n, STDERR_FILENO);
    _exit(1);
}

void installCrashHandler()
{
    // The first backtrace() loads the unwinder, which allocates; doing it
    // here keeps that out of the signal handler.
    void* warmUp[1];
    backtrace(warmUp, 1);
    std::signal(SIGSEGV, handler);
    std::signal(SIGABRT, handler);
}
