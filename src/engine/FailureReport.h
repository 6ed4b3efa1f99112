// Failures the operator of the logger must act on, reported where a daemon's operator looks:
// one line on standard output (the console's own output) and the same text in the system log.
#pragma once

#include <string>

// Prints line and writes it to the system log with priority LOG_ALERT, under the identity and
// facility the host opened the log with (the console program: "NmxLogger", LOG_USER). Any
// thread.
void ReportFailure(const char* line);

// As ReportFailure, for what a remote peer may cause as often as it likes (a refused name):
// at most kRefusalsPerMinute lines a minute are written, so that a peer cannot flood the
// console and the system log; the next line written after a pause says how many were left
// out. Any thread.
void ReportRefusal(const char* line);
constexpr int kRefusalsPerMinute = 20;

// text as the console and the system log may show it: each control character (a terminal's
// escape sequences begin with one) becomes '?'. Null gives "".
std::string PrintableText(const char* text);
