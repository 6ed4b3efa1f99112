// The process around a viewer run: its stop flag, the signals that set it, and the runtime's
// registry loaded without noise.
#pragma once

// Loads the runtime's registry before any thread exists, without the line it prints on
// standard output when it has no NetId (as on any machine without the runtime): a viewer
// needs no NetId of its own, and its output must stay clean for scripts.
void LoadRegistryQuietly();

// SIGINT and SIGTERM request a stop (RequestViewStop) instead of ending the program, so a
// follow detaches from the logger first; SIGPIPE is ignored, so a reader that goes away (a
// pipe into head, a closed FIFO) fails a write instead of ending the program.
void HandleStopSignals();

// Ends a follow in progress cleanly, as SIGINT and SIGTERM do (async-signal-safe).
void RequestViewStop();
bool ViewStopRequested();
void ResetViewStop();
