// The logger run of the program: the start sequence and the console loop. Main thread only.
#pragma once

#include "console/NmxLoggerPort.h"
#include "console/Parameters.h"

// Opens the logger port, starts capturing or waits for a viewer as parms asks, runs the
// console loop and closes the port again. Failures are printed; nothing is returned.
void StartLogger(const Parms_t& parms);

// Shows the status every 100 ms until the key q, a stop signal or, when the capture is shown,
// the end of the capture; then stops the port and prints the final lines.
void ExecuteLoggerLoop(CNmxLoggerPort& port, const Parms_t& parms);
