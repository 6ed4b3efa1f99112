// Key-by-key input from the console. Standard input may be a terminal, a pipe or /dev/null:
// every terminal call that fails is skipped, so the program runs the same without a terminal.
// The functions are for the main thread only.
#pragma once

#include <termios.h>
#include <unistd.h>

// The terminal settings found at start, kept so that they can be put back.
struct TerminalState {
  termios oldt;
  bool bSaved;  // oldt holds settings that were changed and must be restored
};

// Switches the terminal on fd to unbuffered input without echo, discarding pending input, and
// saves the previous settings in *saved. Does nothing (bSaved false) when fd is no terminal
// or when the process runs in the background of its controlling terminal, where changing the
// settings would stop it.
void SetInputMode(TerminalState* saved, int fd = STDIN_FILENO);

// Puts the saved settings back at once, unless nothing was saved or the process has been
// moved to the background since (its shell then owns the terminal settings).
void ResetInputMode(const TerminalState& saved, int fd = STDIN_FILENO);

// Waits at most 1 ms for input on fd and returns the next byte, or 0 when there is none, at
// the end of the input, after an error, or while the process is in the background of its
// controlling terminal.
char GetKeyPressed(int fd = STDIN_FILENO);
