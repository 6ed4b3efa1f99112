// SIGINT and SIGTERM ask the program to stop: the handler only raises g_bStop, and the main
// thread notices it in its console loop and writes the log line.
//
// While the logger runs, the stop signals are blocked in every thread and delivered only
// when the main thread polls for them, so that no worker thread is interrupted by them and
// the handler always runs on the main thread. Every function here is for the main thread.
#pragma once

#include <signal.h>

#include <atomic>
#include <map>

typedef void (*SignalHandler_t)(int, siginfo_t*, void*);

// Raised by the handler; read by the console loop.
extern std::atomic<bool> g_bStop;
// Signal number to handler, installed in ascending signal number.
extern const std::map<int, SignalHandler_t> g_signals;

void sigterm_handler(int sig, siginfo_t* info, void* context);

// Installs every handler of g_signals; a failure is written to the system log.
void InstallSignalHandlers();

// Holds the stop signals back from this thread and every thread it starts from now on.
void BlockStopSignals();

// Lets stop signals that arrived while they were blocked run their handler on this thread,
// then blocks them again; then writes the log line for each stop request that has not been
// logged yet. Returns g_bStop.
bool PollStopSignals();
