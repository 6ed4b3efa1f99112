// What a run against a logger's viewer port is given, and the exit statuses of the programs
// that make such runs (nmx-view, nmx-extcap).
#pragma once

#include <cstdint>
#include <string>

#include "os/OsTypes.h"
#include "viewclient/FrameTrigger.h"

// Exit status of the program.
constexpr int kViewExitOk = 0;
constexpr int kViewExitFailed = 1;      // the logger refused, or a local file failed
constexpr int kViewExitUsage = 2;       // the command line was wrong
constexpr int kViewExitConnection = 3;  // no connection, or it broke

constexpr WORD kViewDefaultPort = 48914;

struct ViewOptions {
  std::string host = "127.0.0.1";
  WORD port = kViewDefaultPort;
  DWORD timeoutMs = 10000;
  bool bJson = false;
};

struct FollowOptions {
  bool bNotify = true;  // notifications; false: poll with reads
  DWORD nCycleMs = 10;
  DWORD cbPacket = 65536;
  std::string writeFile;  // store into this capture file instead of printing
  uint64_t nCount = UINT64_MAX;
  DWORD nDurationMs = 0;  // 0: until stopped
  std::string trigger;    // what stops the logger's capture (FrameTrigger.h); empty: nothing
  TriggerStop triggerStop;
};
