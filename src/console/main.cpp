// VxNmxLogger: records the traffic of the local NMX router into capture files and serves it
// to a remote viewer. Exit status: 0 for a run that ended as it should (and for the usage
// without arguments), 1 when the logger could not start, 2 for a wrong command line.
#include <csignal>
#include <cstdio>

#include "console/ConsoleInput.h"
#include "console/LoggerConsole.h"
#include "console/Parameters.h"
#include "console/StopSignals.h"
#include "console/SystemLog.h"
#include "registry/VxReg.h"

int main(int argc, char** argv) {
  // Lines reach a pipe or a log file as they are printed; the status line flushes itself.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  TerminalState terminal{};
  SetInputMode(&terminal);
  InstallSignalHandlers();
  // A file size limit must fail the write (EFBIG), which the capture owns up to, instead of
  // ending the process in the middle of an append.
  signal(SIGXFSZ, SIG_IGN);
  // Before any thread exists, so that every thread inherits the block.
  BlockStopSignals();

  Parms_t parms;
  int status = EXIT_STATUS_OK;
  if (!ParseParameter(&parms, argc, argv, &status)) {
    ResetInputMode(terminal);
    return status;
  }

  EnableLogging();
  RegistryInit();
  status = StartLogger(parms);
  RegistryDestroy();
  DisableLogging();
  ResetInputMode(terminal);
  return status;
}
