// The program's entries in the system log: identity "NmxLogger", facility LOG_USER. Every
// message the program writes there has priority LOG_ALERT.
#pragma once

void EnableLogging();
void DisableLogging();
