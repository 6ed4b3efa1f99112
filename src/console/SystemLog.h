// The program's entries in the system log: identity "NmxLogger", facility LOG_USER. Stop
// signals are written with priority LOG_ALERT, failures the operator must act on
// (engine/FailureReport.h) with LOG_ERR.
#pragma once

#include <string>

void EnableLogging();
void DisableLogging();

// A line the user must see even when nobody watches the console: printed on standard output
// and written to the system log.
void ReportAlert(const std::string& line);
