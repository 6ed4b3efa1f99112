// What the page receives, as JSON: a frame in the pieces of its nmx-cap dump line, and the
// state of the logger connection. Each object is one line, ready for a Server-Sent Event.
#pragma once

#include <string>

#include "nmx-view/ViewCommands.h"
#include "os/OsTypes.h"

// The frame of a whole record (size bytes, as CFrameFollower hands it over) numbered number:
// {"n":..,"time":UTC as dump prints it,"ms":Unix milliseconds or null,"sender":..,
//  "target":..,"command":"Read(2)","dir":"req"|"res","flags":"0x0004","invoke":..,
//  "error":"0","errorCode":..,"length":..,"krp":"indexGroup=...","line":the dump line,
//  "bytes":hex of the packet,"bytesOmitted":..}
std::string ServeFrameJson(const BYTE* record, DWORD size, DWORD number);

// {"problem":text}: frames were lost between two frames handed over.
std::string ServeLostJson(const std::string& problem);

// Where the page server stands with the logger.
enum class ServeLink {
  kIdle,  // no page open: the logger is free for other viewers
  kConnecting,
  kFollowing,    // connected, frames are followed
  kBusy,         // connected, but another viewer holds the logger and nothing answers
  kUnreachable,  // no connection
};
const char* ServeLinkName(ServeLink link);

struct ServeState {
  ServeLink link = ServeLink::kIdle;
  std::string message;  // why, for kBusy and kUnreachable
  bool bHaveCapture = false;
  CaptureStatus capture;
};

// {"link":"following","message":..,"logger":"HOST:PORT","capture":{as status --json}|null}
std::string ServeStateJson(const ServeState& state, const std::string& logger);

// {"ok":true} or {"ok":false,"error":text}.
std::string ServeOutcomeJson(bool ok, const std::string& error);
