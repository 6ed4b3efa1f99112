// How the subcommands complain ("nmx-cap: FILE: <problem>" and the exit status it means) and
// describe a valid capture.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "frames/CapFrameReader.h"
#include "frames/CapRecord.h"

// Prints the problem and returns kCapExitTrouble for an unreadable file, else
// kCapExitInvalid.
int ReportProblem(std::ostream& err, const std::string& file, const CapProblem& problem);
// Opens file as f and reads its header and table with reader (made on f); false, with the
// complaint printed and its exit status in *status, when it cannot be read as a capture.
bool OpenCapture(const std::string& file, CCapFile& f, CCapFrameReader& reader, std::ostream& err,
                 int* status);
// Prints "nmx-cap: <what>" and returns status.
int ReportError(std::ostream& err, const std::string& what, int status);
// Prints "nmx-cap: <kept>", what a failed run left of its output, unless kept is empty;
// returns status.
int ReportKept(std::ostream& err, const std::string& kept, int status);
// "valid: N frames, B bytes of records[, U unused bytes behind the table]" for a capture the
// reader has read to its end; cbFile is the file's size.
std::string ValidCaptureText(const CCapFrameReader& reader, uint64_t cbFile);
