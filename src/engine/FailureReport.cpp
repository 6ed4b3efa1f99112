#include "engine/FailureReport.h"

#include <syslog.h>

#include <cstdio>

void ReportFailure(const char* line) {
  puts(line);
  syslog(LOG_ALERT, "%s", line);
}
