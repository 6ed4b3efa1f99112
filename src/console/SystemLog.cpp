#include "console/SystemLog.h"

#include <syslog.h>

#include "engine/FailureReport.h"

void EnableLogging() {
  openlog("NmxLogger", LOG_PID | LOG_NDELAY, LOG_USER);
}

void DisableLogging() {
  closelog();
}

void ReportAlert(const std::string& line) {
  ReportFailure(line.c_str());
}
