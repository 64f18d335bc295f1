#pragma once

// Crash handler for SIGSEGV and SIGABRT: writes a backtrace of at most 10
// frames to standard error (file descriptor 2) and ends the process with
// status 1.
void handler(int sig);

// Installs `handler` for SIGSEGV and SIGABRT.
void installCrashHandler();
