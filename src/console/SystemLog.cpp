#include "console/SystemLog.h"

#include <syslog.h>

void EnableLogging() {
  openlog("NmxLogger", LOG_PID | LOG_NDELAY, LOG_USER);
}

void DisableLogging() {
  closelog();
}
