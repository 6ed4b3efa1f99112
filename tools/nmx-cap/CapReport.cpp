#include "nmx-cap/CapReport.h"

#include "nmx-cap/NmxCap.h"

int ReportProblem(std::ostream& err, const std::string& file, const CapProblem& problem) {
  err << "nmx-cap: " << file << ": " << problem.Text() << "\n";
  return problem.bUnreadable ? kCapExitTrouble : kCapExitInvalid;
}

int ReportError(std::ostream& err, const std::string& what, int status) {
  err << "nmx-cap: " << what << "\n";
  return status;
}
