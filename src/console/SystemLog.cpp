#include "console/SystemLog.h"

#include <syslog.h>

#include <cstdio>

#include "engine/FailureReport.h"
#include "registry/VxReg.h"

void EnableLogging() {
  openlog("NmxLogger", LOG_PID | LOG_NDELAY, LOG_USER);
  // The registry's own failures say where it looked on the same two channels.
  VxRegSetDetailReport([](const char* line) { ReportDetail(line); });
}

void DisableLogging() {
  VxRegSetDetailReport(nullptr);
  closelog();
}

void ReportAlert(const std::string& line) {
  ReportFailure(line.c_str());
}

void ReportDetail(const std::string& line) {
  fflush(stdout);
  fprintf(stderr, "%s\n", line.c_str());
  syslog(LOG_ALERT, "%s", line.c_str());
}
