#include "console/SystemLog.h"

#include <syslog.h>

#include <cstdio>

void EnableLogging() {
  openlog("NmxLogger", LOG_PID | LOG_NDELAY, LOG_USER);
}

void DisableLogging() {
  closelog();
}

void ReportAlert(const std::string& line) {
  puts(line.c_str());
  syslog(LOG_ALERT, "%s", line.c_str());
}
