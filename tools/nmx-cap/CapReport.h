// How the subcommands complain: "nmx-cap: FILE: <problem>" and the exit status it means.
#pragma once

#include <ostream>
#include <string>

#include "nmx-cap/CapRecord.h"

// Prints the problem and returns kCapExitTrouble for an unreadable file, else
// kCapExitInvalid.
int ReportProblem(std::ostream& err, const std::string& file, const CapProblem& problem);
// Prints "nmx-cap: <what>" and returns status.
int ReportError(std::ostream& err, const std::string& what, int status);
