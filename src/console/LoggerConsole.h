// The logger run of the program: the start sequence and the console loop. Main thread only.
#pragma once

#include "console/NmxLoggerPort.h"
#include "console/Parameters.h"

// Opens the logger port, starts capturing or waits for a viewer as parms asks, runs the
// console loop and closes the port again. Failures are printed. Returns the program's exit
// status: EXIT_STATUS_OK, or EXIT_STATUS_NOT_STARTED when the logger could not be opened or
// started, or the capture ended by itself on a failed write.
int StartLogger(const Parms_t& parms);

// Shows the status every 100 ms until the key q, a stop signal or, when the capture is shown,
// the end of the capture; then stops the port and prints the final lines. The status shows
// while the capture was started here (parms.bCapture), rewritten in place on a terminal and
// once every 10 s as a plain line otherwise. Returns EXIT_STATUS_NOT_STARTED when the capture
// ended by itself after a failed write, else EXIT_STATUS_OK.
int ExecuteLoggerLoop(CNmxLoggerPort& port, const Parms_t& parms);
