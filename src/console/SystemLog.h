// The program's entries in the system log: identity "NmxLogger", facility LOG_USER. Every
// message the program writes there has priority LOG_ALERT.
#pragma once

#include <string>

void EnableLogging();
void DisableLogging();

// A line the user must see even when nobody watches the console: printed on standard output
// and written to the system log (as the engine's own failures are, engine/FailureReport.h).
void ReportAlert(const std::string& line);

// The line that says where and why a failure happened, after the failure's own line: on
// standard error (standard output is flushed first, so the two stay in order where they
// meet) and in the system log.
void ReportDetail(const std::string& line);
