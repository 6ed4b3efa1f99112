// The subcommands of nmx-cap, callable without the process around them. Each writes what it
// reports to out and its complaints to err, and returns the exit status of the process:
// 0 done (check: the file is valid), 1 a file breaks the format, 2 a file could not be read
// or written, or the command line was wrong.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

constexpr int kCapExitOk = 0;
constexpr int kCapExitInvalid = 1;
constexpr int kCapExitTrouble = 2;

struct CapDumpOptions {
  uint64_t nFrom = 0;            // first frame number
  uint64_t nCount = UINT64_MAX;  // frames printed at most
  int nPort = -1;                // only frames from or to this port
  int nCmd = -1;                 // only frames of this command id
  bool bErrors = false;          // only frames with an NMX error or a failed KRP result
  bool bHex = false;             // the packet bytes too
  bool bJson = false;            // one JSON object per frame
};

int CapInfo(const std::vector<std::string>& files, std::ostream& out, std::ostream& err);
int CapDump(const std::string& file, const CapDumpOptions& opt, std::ostream& out,
            std::ostream& err);
// Prints "FILE: valid ..." or "FILE: invalid: <first problem>".
int CapCheck(const std::string& file, std::ostream& out, std::ostream& err);
// In place (outFile empty) after copying the file to "<file>~", which must not exist yet;
// otherwise into outFile, which must not be file.
int CapRepair(const std::string& file, const std::string& outFile, std::ostream& out,
              std::ostream& err);
int CapExport(const std::string& file, const std::string& outFile, std::ostream& out,
              std::ostream& err);
int CapMerge(const std::string& outFile, const std::vector<std::string>& inputs, std::ostream& out,
             std::ostream& err);

// The whole program: argv[0] is its name, argv[1] the subcommand.
int RunNmxCap(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
