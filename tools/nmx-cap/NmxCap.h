// The subcommands of nmx-cap, callable without the process around them. Each writes what it
// reports to out and its complaints to err, and returns the exit status of the process:
// 0 done (check: the file is valid), 1 a file breaks the format, 2 a file could not be read
// or written, or the command line was wrong.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "os/OsTypes.h"

constexpr int kCapExitOk = 0;
constexpr int kCapExitInvalid = 1;
constexpr int kCapExitTrouble = 2;

struct CapDumpOptions {
  uint64_t nFrom = 0;            // first frame number
  uint64_t nCount = UINT64_MAX;  // frames printed at most
  int nPort = -1;                // only frames from or to this port
  int nCmd = -1;                 // only frames of this command id
  // Selections by pairing; together they select what any of them selects.
  bool bErrors = false;      // error responses (an NMX error or a failed KRP result), their
                             // requests, and any other frame with an NMX error
  bool bUnanswered = false;  // requests that got no answer
  int64_t nSlowerThan = -1;  // answers slower than this (100 ns units), and their requests
  bool bHex = false;         // the packet bytes too
  bool bJson = false;        // one JSON object per frame
};

struct CapStatsOptions {
  LONGLONG nTimeout = 0;  // 100 ns units; 0: a request waits for its answer to the end
  size_t nSlowest = 10;   // the slowest requests listed
  bool bJson = false;
};

int CapInfo(const std::vector<std::string>& files, std::ostream& out, std::ostream& err);
int CapDump(const std::string& file, const CapDumpOptions& opt, std::ostream& out,
            std::ostream& err);
// Requests by target and command: answers, errors, response times, the slowest, the
// unanswered.
int CapStats(const std::string& file, const CapStatsOptions& opt, std::ostream& out,
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
